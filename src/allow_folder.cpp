// SPDX-License-Identifier: MIT
// The allowed clients' folder, read once and then kept current from inotify
// events, each changed file read once; a timer rescan where inotify fails.
#include "allow_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "logging.h"
#include "wire.h"

namespace vorzmq::internal {
namespace {

constexpr char signature[] = "void vorzmq_authenticator::run()";

constexpr uint32_t watched_events = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                    IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool is_certificate_name(std::string_view name)
{
    return name.size() > 4 && name.ends_with(".key") && !name.starts_with(".");
}

bool same_time(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool allow_folder::file_identity::operator==(const file_identity& other) const
{
    return device == other.device && inode == other.inode && size == other.size &&
           same_time(modified, other.modified) && same_time(changed, other.changed);
}

allow_folder::allow_folder(std::string directory) : directory(std::move(directory)) {}

allow_folder::~allow_folder()
{
    if (watch_descriptor >= 0) {
        close(watch_descriptor);
    }
}

allow_folder::allow_folder(allow_folder&& other) noexcept
    : directory(std::move(other.directory)), files(std::move(other.files)), admitted(std::move(other.admitted)),
      watch_descriptor(other.watch_descriptor), folder_readable(other.folder_readable), loaded(other.loaded),
      next_rescan(other.next_rescan)
{
    other.watch_descriptor = -1;
}

bool allow_folder::load()
{
    watch();  // before the read, so that no change falls between them
    rescan();
    return folder_readable;
}

long allow_folder::wait_ms(clock::time_point now) const
{
    if (watch_descriptor >= 0) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_rescan - now).count();
    return std::max<long>(0, left);
}

void allow_folder::catch_up(clock::time_point now)
{
    if (watch_descriptor >= 0) {
        take_events(now);
    } else if (now >= next_rescan) {
        watch();
        rescan();
    }
}

void allow_folder::watch()
{
    next_rescan = clock::now() + rescan_interval;
    if (watch_descriptor >= 0) {
        return;
    }
    const int descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    if (inotify_add_watch(descriptor, directory.c_str(), watched_events) < 0) {
        close(descriptor);
        return;
    }
    watch_descriptor = descriptor;
}

void allow_folder::take_events(clock::time_point now)
{
    alignas(inotify_event) char buffer[64 * 1024];
    // Each changed file, and whether it may still be being written: a file
    // created or written but not yet closed is read, but not warned about.
    std::unordered_map<std::string, bool> changed;
    bool folder_changed = false;
    for (;;) {
        const ssize_t got = read(watch_descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;  // EAGAIN: nothing more
        }
        for (ssize_t offset = 0; offset < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                folder_changed = true;
            } else if (event->len > 0) {
                const std::string name(event->name);
                if (is_certificate_name(name)) {
                    const bool unfinished = (event->mask & (IN_CREATE | IN_MODIFY)) != 0;
                    const auto [entry, first] = changed.emplace(name, unfinished);
                    entry->second = unfinished && (first || entry->second);
                }
            }
        }
    }
    if (folder_changed) {
        // Events were lost, or the folder is not the one watched any more.
        close(watch_descriptor);
        watch_descriptor = -1;
        next_rescan = now;
        catch_up(now);
        return;
    }
    if (changed.empty()) {
        return;
    }
    for (const auto& [name, unfinished] : changed) {
        reload(name, unfinished ? if_ignored::stay_quiet : if_ignored::warn);
    }
    // A link in the folder follows its target, which may be what changed.
    for (auto& [name, entry] : files) {
        if (entry.link && changed.count(name) == 0) {
            reload(name);
        }
    }
    LOG4CXX_DEBUG(logger, "Allowed CURVE Clients: " << admitted.size() << " Keys in " << loggable(directory));
}

void allow_folder::rescan()
{
    DIR* folder = opendir(directory.c_str());
    if (folder == nullptr) {
        report_unreadable(errno);
        return;
    }
    const bool first = !loaded;
    loaded = true;
    if (!folder_readable) {
        // Everything is read afresh once the folder can be read again.
        files.clear();
        admitted.clear();
    }
    folder_readable = true;
    if (first) {
        warn_if_writable_by_others();
    }
    std::unordered_set<std::string> present;
    errno = 0;
    while (const dirent* entry = readdir(folder)) {
        if (is_certificate_name(entry->d_name)) {
            present.insert(entry->d_name);
        }
    }
    closedir(folder);
    std::vector<std::string> gone;
    for (const auto& [name, entry] : files) {
        if (present.count(name) == 0) {
            gone.push_back(name);
        }
    }
    for (const std::string& name : gone) {
        forget(name);
    }
    for (const std::string& name : present) {
        const auto known = files.find(name);
        struct stat status {};
        const std::string path = directory + "/" + name;
        if (known == files.end() || known->second.link || stat(path.c_str(), &status) != 0 ||
            !(known->second.seen == file_identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim,
                                              status.st_ctim})) {
            reload(name);
        }
    }
    LOG4CXX_DEBUG(logger, "Allowed CURVE Clients: " << admitted.size() << " Keys in " << loggable(directory));
}

void allow_folder::report_unreadable(int err)
{
    if (folder_readable || !loaded) {
        LOG4CXX_WARN(logger, "Failed to Read Allowed CURVE Clients: " << loggable(directory) << " -- "
                                                                      << std::strerror(err) << " -- Admitting None");
    }
    loaded = true;
    folder_readable = false;
    files.clear();
    admitted.clear();
}

void allow_folder::forget(const std::string& name)
{
    const auto known = files.find(name);
    if (known == files.end()) {
        return;
    }
    const auto held = admitted.find(known->second.key);
    if (held != admitted.end() && --held->second == 0) {
        admitted.erase(held);
    }
    files.erase(known);
}

void allow_folder::reload(const std::string& name, if_ignored ignored)
{
    forget(name);
    const std::string path = directory + "/" + name;
    struct stat link_status {};
    if (lstat(path.c_str(), &link_status) != 0) {
        return;  // gone
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        status = link_status;
    }
    file entry{{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim},
               {},
               S_ISLNK(link_status.st_mode)};
    std::string why = untrusted(path, link_status);
    certificate parsed;
    bool readable_by_others = false;
    if (why.empty() && read_certificate_file(path, parsed, why, readable_by_others)) {
        if (parsed.secret_key.empty()) {
            entry.key = parsed.public_key;
            ++admitted[entry.key];
        } else {
            why = "a secret certificate: only the public NAME.key belongs here";
        }
    }
    if (entry.key.empty() && ignored == if_ignored::warn) {
        LOG4CXX_WARN(logger, "Ignored CURVE Certificate: " << loggable(path) << " -- " << loggable(why));
    }
    files.emplace(name, std::move(entry));
}

// Why a file of the folder is not to be trusted, or empty: a link that leads
// out of the folder, or a file that neither this process's user nor root
// owns (anyone who may write the folder could put one there).
std::string allow_folder::untrusted(const std::string& path, const struct stat& link_status) const
{
    std::error_code error;
    if (S_ISLNK(link_status.st_mode)) {
        const auto target = std::filesystem::canonical(path, error);
        if (error || target.parent_path() != std::filesystem::canonical(directory, error)) {
            return "a link that leads out of the folder";
        }
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return std::strerror(errno);
    }
    if (status.st_uid != geteuid() && status.st_uid != 0) {
        return "owned by another user (" + std::to_string(status.st_uid) + ")";
    }
    return {};
}

void allow_folder::warn_if_writable_by_others() const
{
    struct stat status {};
    if (stat(directory.c_str(), &status) == 0 && (status.st_mode & S_IWOTH) != 0) {
        LOG4CXX_WARN(logger, "Allowed CURVE Clients Writable by Others: " << loggable(directory)
                                                                         << " -- Any Local User May Add a Key");
    }
}

}  // namespace vorzmq::internal

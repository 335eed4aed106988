// SPDX-License-Identifier: MIT
// The folder of an authenticator's allowed clients: the public keys of its
// certificates NAME.key, kept current by inotify, so that a handshake is
// judged against memory and never waits for the disk.
#ifndef VORZMQ_SRC_ALLOW_FOLDER_H
#define VORZMQ_SRC_ALLOW_FOLDER_H

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace vorzmq::internal {

class allow_folder {
public:
    using clock = std::chrono::steady_clock;

    // Where inotify is not to be had, or the folder itself went away, the
    // folder is compared with what was read this often instead.
    static constexpr std::chrono::milliseconds rescan_interval{500};

    explicit allow_folder(std::string directory);
    ~allow_folder();
    allow_folder(allow_folder&& other) noexcept;
    allow_folder(const allow_folder&) = delete;
    allow_folder& operator=(const allow_folder&) = delete;
    allow_folder& operator=(allow_folder&&) = delete;

    // Watches, then reads every certificate. False when the folder cannot
    // be read (logged as WARN); it is then tried again as it is watched.
    bool load();

    // The descriptor to wait on for changes, or -1 while there is none.
    int change_descriptor() const { return watch_descriptor; }
    // How long a wait may last before due() work (-1: none is).
    long wait_ms(clock::time_point now) const;
    // Takes in every change noticed so far, without waiting: each changed
    // file is read once. Called before each judgement, so a key removed or
    // rewritten before a handshake began is never admitted by it.
    void catch_up(clock::time_point now);

    bool readable() const { return folder_readable; }
    bool allows(const std::string& key) const { return admitted.count(key) != 0; }

private:
    // What a change to a file changes: by its inode and times with
    // nanoseconds, which every write moves on (ctime cannot be set back).
    struct file_identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};
        bool operator==(const file_identity& other) const;
    };
    struct file {
        file_identity seen;
        std::string key;  // Z85; empty for a file that admits nobody
        bool link = false;
    };

    void watch();
    void take_events(clock::time_point now);
    void rescan();
    // A file still being written (created, not yet closed) is read
    // quietly: the event of its closing reads it again.
    enum class if_ignored { warn, stay_quiet };
    void reload(const std::string& name, if_ignored ignored = if_ignored::warn);
    void forget(const std::string& name);
    void report_unreadable(int err);
    std::string untrusted(const std::string& path, const struct stat& link_status) const;
    void warn_if_writable_by_others() const;

    std::string directory;
    std::unordered_map<std::string, file> files;  // by file name
    std::unordered_map<std::string, size_t> admitted;  // key: how many files hold it
    int watch_descriptor = -1;
    bool folder_readable = false;
    bool loaded = false;
    clock::time_point next_rescan{};
};

}  // namespace vorzmq::internal

#endif  // VORZMQ_SRC_ALLOW_FOLDER_H

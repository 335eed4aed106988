// SPDX-License-Identifier: MIT
// The authenticator: answers libzmq's ZAP requests (RFC 27) for one context
// on a thread of its own, admitting CURVE clients of servers with an
// allow-list by the certificates in a directory, read again as it changes.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <vector>

#include <zmq.h>

#include "curve.h"
#include "frame.h"
#include "lifecycle.h"
#include "logging.h"
#include "wire.h"

namespace vorzmq::internal {
namespace {

using clock = std::chrono::steady_clock;

constexpr char zap_endpoint[] = "inproc://zeromq.zap.01";
constexpr char run_signature[] = "void vorzmq_authenticator::run()";

// How old the view of the directory may be when a client is judged.
constexpr auto rescan_interval = std::chrono::milliseconds(500);
// Refusals are logged at most this often.
constexpr auto refusal_record_interval = std::chrono::seconds(1);

// The public keys of the certificates NAME.key in one directory, read again
// when a file came, went or changed.
class allow_list {
public:
    explicit allow_list(std::string directory) : directory(std::move(directory)) {}

    // Whether the directory could be read; logs what changed.
    bool refresh(clock::time_point now)
    {
        static constexpr const char* signature = run_signature;
        if (scanned && now - last_scan < rescan_interval) {
            return readable;
        }
        const bool first = !scanned;
        last_scan = now;
        scanned = true;
        std::vector<file_state> files;
        std::error_code error;
        for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
             entry.increment(error)) {
            const std::filesystem::path& path = entry->path();
            if (path.extension() != ".key" || path.filename().string().starts_with(".")) {
                continue;
            }
            std::error_code ignored;
            const auto written = std::filesystem::last_write_time(path, ignored);
            const auto size = std::filesystem::file_size(path, ignored);
            files.push_back({path.string(), written.time_since_epoch().count(), size});
        }
        if (error) {
            if (readable || first) {
                LOG4CXX_WARN(logger, "Failed to Read Allowed CURVE Clients: " << directory << " -- "
                                                                             << error.message() << " -- Admitting None");
            }
            readable = false;
            keys.clear();
            files_seen.clear();
            return false;
        }
        std::sort(files.begin(), files.end());
        if (readable && files == files_seen) {
            return true;
        }
        readable = true;
        files_seen = files;
        keys.clear();
        if (first) {
            warn_if_writable_by_others();
        }
        for (const file_state& file : files) {
            certificate parsed;
            std::string why = untrusted(file.path);
            bool readable_by_others = false;
            if (why.empty() && read_certificate_file(file.path, parsed, why, readable_by_others)) {
                if (parsed.secret_key.empty()) {
                    keys.insert(parsed.public_key);
                    continue;
                }
                why = "a secret certificate: only the public NAME.key belongs here";
            }
            LOG4CXX_WARN(logger, "Ignored CURVE Certificate: " << loggable(file.path) << " -- " << loggable(why));
        }
        LOG4CXX_DEBUG(logger, "Allowed CURVE Clients: " << keys.size() << " Keys in " << directory);
        return true;
    }

    bool allows(const std::string& key) const { return keys.count(key) != 0; }

private:
    // Why a file of the folder is not to be trusted, or empty: a link that
    // leads out of the folder, or a file that neither this process's user
    // nor root owns (anyone who may write the folder could put one there).
    std::string untrusted(const std::string& path) const
    {
        std::error_code error;
        if (std::filesystem::is_symlink(path, error)) {
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

    void warn_if_writable_by_others() const
    {
        static constexpr const char* signature = run_signature;
        struct stat status {};
        if (stat(directory.c_str(), &status) == 0 && (status.st_mode & S_IWOTH) != 0) {
            LOG4CXX_WARN(logger, "Allowed CURVE Clients Writable by Others: "
                                     << loggable(directory) << " -- Any Local User May Add a Key");
        }
    }

    struct file_state {
        std::string path;
        long long written;
        uintmax_t size;
        bool operator<(const file_state& other) const
        {
            return std::tie(path, written, size) < std::tie(other.path, other.written, other.size);
        }
        bool operator==(const file_state& other) const
        {
            return path == other.path && written == other.written && size == other.size;
        }
    };

    std::string directory;
    std::vector<file_state> files_seen;
    std::unordered_set<std::string> keys;  // Z85
    clock::time_point last_scan{};
    bool scanned = false;
    bool readable = false;
};

// One WARN a second at most; each record counts the refusals it stands for
// and names the latest.
class refusal_log {
public:
    void refused(clock::time_point now, const std::string& address, const std::string& key, const char* reason)
    {
        ++held;
        latest_address = address;
        latest_key = key;
        latest_reason = reason;
        flush_if_due(now);
    }

    void flush_if_due(clock::time_point now)
    {
        static constexpr const char* signature = run_signature;
        if (held == 0 || (logged_any && now - last_record < refusal_record_interval)) {
            return;
        }
        const std::string key = latest_key.empty() ? "none" : latest_key.substr(0, 8) + "...";
        if (held == 1) {
            LOG4CXX_WARN(logger, "Refused CURVE Client -- Address: " << latest_address << " -- Key: " << key << " -- "
                                                                     << latest_reason);
        } else {
            LOG4CXX_WARN(logger, "Refused " << held << " CURVE Clients Since the Last Record -- Latest Address: "
                                            << latest_address << " -- Key: " << key << " -- " << latest_reason);
        }
        held = 0;
        last_record = now;
        logged_any = true;
    }

    // How long the next wait may last before held refusals are due (-1: none held).
    long wait_ms(clock::time_point now) const
    {
        if (held == 0) {
            return -1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(last_record + refusal_record_interval - now);
        return std::max<long>(0, left.count() + 1);
    }

private:
    size_t held = 0;
    std::string latest_address;
    std::string latest_key;
    const char* latest_reason = "";
    clock::time_point last_record{};
    bool logged_any = false;
};

struct zap_reply {
    const char* status;
    const char* text;
    std::string user;
};

// Reads one ZAP request: at most a few short frames, as libzmq sends them.
bool receive_request(void* socket, std::vector<std::string>& frames)
{
    frames.clear();
    bool more = true;
    while (more) {
        frame part;
        if (zmq_msg_recv(&part.message, socket, 0) < 0) {
            return false;
        }
        more = part.more();
        if (frames.size() < 8) {
            frames.emplace_back(part.data(), std::min<size_t>(part.size(), 512));
        }
    }
    return true;
}

bool send_reply(void* socket, const std::string& request_id, const zap_reply& reply)
{
    const std::string frames[] = {"1.0", request_id, reply.status, reply.text, reply.user, ""};
    for (size_t i = 0; i < std::size(frames); ++i) {
        const int flags = i + 1 < std::size(frames) ? ZMQ_SNDMORE : 0;
        if (zmq_send(socket, frames[i].data(), frames[i].size(), flags) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace vorzmq::internal

using namespace vorzmq::internal;

struct vorzmq_authenticator::state {
    void* context;
    std::string directory;
    mutable std::mutex addresses_lock;
    std::vector<std::string> addresses;  // empty: any

    // Owned by the thread while it runs.
    void* zap = nullptr;
    void* control_inside = nullptr;
    void* control_outside = nullptr;  // the host's end, to stop the thread
    std::thread thread;
    bool running = false;

    bool address_allowed(const std::string& address) const
    {
        const std::lock_guard<std::mutex> held(addresses_lock);
        return addresses.empty() || std::find(addresses.begin(), addresses.end(), address) != addresses.end();
    }

    zap_reply judge(const std::vector<std::string>& request, allow_list& allowed, refusal_log& refusals)
    {
        // version, request id, domain, address, routing id, mechanism, credentials...
        if (request.size() < 6 || request[0] != "1.0") {
            return {"500", "Malformed ZAP Request", {}};
        }
        const std::string& domain = request[2];
        const std::string& address = request[3];
        const std::string& mechanism = request[5];
        // What the library's sockets get without an authenticator.
        if (domain == zap_domain) {
            return {"200", "OK", {}};
        }
        std::string key;
        if (mechanism == "CURVE" && request.size() == 7 && request[6].size() == 32) {
            char text[41];
            if (zmq_z85_encode(text, reinterpret_cast<const uint8_t*>(request[6].data()), 32) != nullptr) {
                key.assign(text, 40);
            }
        }
        const clock::time_point now = clock::now();
        const char* refusal = nullptr;
        if (domain != allow_list_zap_domain) {
            refusal = "Unknown ZAP Domain";
        } else if (key.empty()) {
            refusal = "Not a CURVE Client";
        } else if (!allowed.refresh(now) || !allowed.allows(key)) {
            refusal = "Key Not Allowed";
        } else if (!address_allowed(address)) {
            refusal = "Address Not Allowed";
        }
        if (refusal != nullptr) {
            refusals.refused(now, loggable(address), key, refusal);
            return {"400", refusal, {}};
        }
        return {"200", "OK", key};
    }

    void run(allow_list allowed)
    {
        static constexpr const char* signature = run_signature;
        refusal_log refusals;
        std::vector<std::string> request;
        for (;;) {
            zmq_pollitem_t items[] = {{zap, 0, ZMQ_POLLIN, 0}, {control_inside, 0, ZMQ_POLLIN, 0}};
            const int ready = zmq_poll(items, 2, refusals.wait_ms(clock::now()));
            if (ready < 0) {
                if (zmq_errno() == EINTR) {
                    continue;
                }
                const int err = zmq_errno();
                LOG4CXX_ERROR(logger, "Authenticator Stopped -- " << zmq_strerror(err));
                break;  // the context is ending
            }
            if ((items[1].revents & ZMQ_POLLIN) != 0) {
                break;
            }
            if ((items[0].revents & ZMQ_POLLIN) != 0 && receive_request(zap, request)) {
                const std::string request_id = request.size() > 1 ? request[1] : std::string();
                if (!send_reply(zap, request_id, judge(request, allowed, refusals))) {
                    const int err = zmq_errno();
                    LOG4CXX_ERROR(logger, "Failed to Send ZAP Reply -- " << zmq_strerror(err));
                }
            }
            refusals.flush_if_due(clock::now());
        }
        refusals.flush_if_due(clock::time_point::max());
        close_socket(zap);
        close_socket(control_inside);
    }

    void close_all()
    {
        close_socket(zap);
        close_socket(control_inside);
        close_socket(control_outside);
    }
};

vorzmq_authenticator::vorzmq_authenticator(vorzmq_context& owner) : self(new state)
{
    self->context = owner.context;
}

vorzmq_authenticator::~vorzmq_authenticator()
{
    stop();
    delete self;
}

bool vorzmq_authenticator::start(const std::string& directory)
{
    static constexpr char signature[] = "bool vorzmq_authenticator::start(const string&)";
    if (self->running) {
        return true;
    }
    if (self->context == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Start Authenticator without Valid Context");
        return false;
    }
    allow_list allowed(directory);
    if (!allowed.refresh(clock::now())) {
        LOG4CXX_ERROR(logger, "Cannot Start Authenticator -- Allowed CURVE Clients Unreadable: " << directory);
        return false;
    }
    const std::string control = "inproc://vorzmq.authenticator." + std::to_string(reinterpret_cast<uintptr_t>(self));
    const int no_linger = 0;
    self->zap = zmq_socket(self->context, ZMQ_REP);
    self->control_inside = zmq_socket(self->context, ZMQ_PAIR);
    self->control_outside = zmq_socket(self->context, ZMQ_PAIR);
    if (self->zap == nullptr || self->control_inside == nullptr || self->control_outside == nullptr ||
        zmq_setsockopt(self->zap, ZMQ_LINGER, &no_linger, sizeof no_linger) != 0 ||
        zmq_setsockopt(self->control_outside, ZMQ_LINGER, &no_linger, sizeof no_linger) != 0 ||
        zmq_bind(self->zap, zap_endpoint) != 0 || zmq_bind(self->control_inside, control.c_str()) != 0 ||
        zmq_connect(self->control_outside, control.c_str()) != 0) {
        const int err = zmq_errno();
        LOG4CXX_ERROR(logger, "Failed to Bind ZAP Handler: " << zap_endpoint << " -- " << zmq_strerror(err));
        self->close_all();
        return false;
    }
    self->directory = directory;
    // The host's signals stay on the host's threads.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        self->thread = std::thread([state = self, list = std::move(allowed)]() mutable { state->run(std::move(list)); });
        self->running = true;
    } catch (const std::system_error& error) {
        LOG4CXX_ERROR(logger, "Failed to Start Authenticator Thread -- " << error.what());
        self->close_all();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (self->running) {
        LOG4CXX_DEBUG(logger, "Authenticator Started: " << directory);
    }
    return self->running;
}

void vorzmq_authenticator::stop()
{
    static constexpr char signature[] = "void vorzmq_authenticator::stop()";
    if (!self->running) {
        return;
    }
    // A failed send leaves the thread waiting; the context's end stops it.
    zmq_send(self->control_outside, "", 0, 0);
    self->thread.join();
    close_socket(self->control_outside);
    self->running = false;
    LOG4CXX_DEBUG(logger, "Authenticator Stopped: " << self->directory);
}

bool vorzmq_authenticator::running() const
{
    return self->running;
}

void vorzmq_authenticator::set_allowed_addresses(const std::vector<std::string>& addresses)
{
    const std::lock_guard<std::mutex> held(self->addresses_lock);
    self->addresses = addresses;
}

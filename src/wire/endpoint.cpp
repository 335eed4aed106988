// SPDX-License-Identifier: MIT
// Endpoints: ipc paths, the liveness probe, binding without takeover and
// opening a fresh endpoint to its group. Part of the wire library, so the
// tool's proxies bind the same way the library's sockets do.
#include "wire.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>
#include <zmq.h>

#include "logging.h"

namespace vorzmq::internal {
namespace {

// libzmq checks its bound against the frame on the wire, which over CURVE is
// a MESSAGE command: the payload plus its flags byte, the command's name
// (8 bytes), its nonce (8) and its MAC (16). The bound allows for them, so
// that it bounds the payload alike in clear text and under CURVE; what a
// clear-text peer may send beyond the payload's bound is refused by the
// receiving side's own length checks.
constexpr int64_t curve_message_overhead = 1 + 8 + 8 + 16;

// The largest frame a binding socket takes from a peer: the longest text and
// its zero byte. libzmq drops the connection of a peer whose frame header
// announces more, before it allocates anything for the frame.
constexpr int64_t longest_inbound_frame = longest_text + 1 + curve_message_overhead;

// A publisher takes subscriptions only. libzmq keeps each byte of one as a
// node of a tree that it walks recursively, on the thread that sends, and
// a subscription of some 150 KB overflows the stack when it is removed.
constexpr int64_t longest_inbound_subscription =
    longest_subscription + 1 + curve_message_overhead;  // the (un)subscribe byte

// A binding socket that takes messages queues at most this many of each
// peer's: libzmq's default of 1,000, each up to the bound, let one peer that
// sends without waiting for replies (a DEALER) hold gigabytes of a server.
constexpr int queued_inbound_messages = 4;

bool publishes(void* socket)
{
    int type = 0;
    size_t size = sizeof type;
    return zmq_getsockopt(socket, ZMQ_TYPE, &type, &size) == 0 && (type == ZMQ_PUB || type == ZMQ_XPUB);
}

constexpr char ipc_prefix[] = "ipc://";
constexpr size_t ipc_prefix_length = sizeof ipc_prefix - 1;

// How long a re-bind waits for this process's own closed listener on the same
// endpoint to go away (zmq_close hands the close to an I/O thread).
constexpr auto own_listener_grace = std::chrono::milliseconds(250);

// The lock file that binds in one directory take turns on.
constexpr char bind_lock_name[] = ".vorzmq-bind.lock";

// How long a bind waits for another process's lock on the endpoint's directory.
constexpr auto directory_lock_patience = std::chrono::seconds(2);

bool is_ipc(const std::string& url)
{
    return url.size() > ipc_prefix_length && url.compare(0, ipc_prefix_length, ipc_prefix) == 0;
}

// glibc carries out fchmodat's AT_SYMLINK_NOFOLLOW through /proc/self/fd and
// fails with EOPNOTSUPP where /proc is missing (a chroot, a bare container),
// as it does for a link. Then the mode goes on with chmod, but only when
// lstat finds no link there. A link swapped in between the two calls would
// still be followed: a window of two system calls, open only to whoever can
// write the endpoint's directory. Returns false, with errno of the first
// failure, when the mode was not set.
bool chmod_unless_link(const std::string& path)
{
    if (errno != EOPNOTSUPP && errno != ENOTSUP) {
        return false;
    }
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || S_ISLNK(status.st_mode)) {
        errno = EOPNOTSUPP;
        return false;
    }
    return chmod(path.c_str(), 0771) == 0;
}

// Endpoints this process has bound: only there can a refused bind be its own
// closed socket still holding on.
std::mutex bound_endpoints_mutex;
std::set<std::string> bound_endpoints;

bool bound_here_before(const std::string& url)
{
    std::lock_guard<std::mutex> lock(bound_endpoints_mutex);
    return bound_endpoints.count(url) != 0;
}

// Holds an exclusive lock on a file beside the endpoint, so that two
// processes of this library binding the same ipc path take turns between
// probe and bind. The file is this user's alone (mode 0600): no one else can
// open it, so no one else can hold the lock and keep a server from binding.
// Where it cannot be this user's file (another user's folder, or a file of
// that name that someone else made), the bind goes on without the lock: the
// probe still keeps it from taking over a live endpoint. A holder that never
// lets go (a stopped process of this user) costs a bind at most
// directory_lock_patience; a signal does not end the wait.
class directory_lock {
public:
    explicit directory_lock(const std::string& path)
    {
        const size_t slash = path.find_last_of('/');
        const std::string directory = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
        descriptor = open((directory + bind_lock_name).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        struct stat status {};
        if (descriptor != -1 && (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
                                 status.st_uid != geteuid() || (status.st_mode & 077) != 0)) {
            close(descriptor);
            descriptor = -1;
        }
        if (descriptor == -1) {
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + directory_lock_patience;
        while (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
                locked = false;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~directory_lock()
    {
        if (descriptor != -1) {
            close(descriptor);  // releases the lock
        }
    }
    directory_lock(const directory_lock&) = delete;
    directory_lock& operator=(const directory_lock&) = delete;

    // False when another holder kept the lock past the patience.
    bool held() const { return locked; }

private:
    int descriptor;
    bool locked = true;
};

// Whether a path can be bound without harm. Only a socket file without a
// listener (left by a crash: ECONNREFUSED) or nothing at all (ENOENT) is
// free. A live listener is taken, and so is one this process may not
// connect to (EACCES: another user's live endpoint), and any path that is
// not a socket (a regular file, a link, a directory), which libzmq's bind
// would unlink.
bool ipc_path_taken(const std::string& path)
{
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return false;  // nothing there, or nothing this process may see: the bind tells
    }
    return !S_ISSOCK(status.st_mode) || ipc_listener_present(path);
}

}  // namespace

std::string ipc_path(const std::string& url)
{
    if (!is_ipc(url) || url[ipc_prefix_length] == '@') {
        return {};
    }
    return url.substr(ipc_prefix_length);
}

// libzmq's bind would unlink the file of a live endpoint and silently take
// its peers. A file without a listener (left by a crash) refuses the
// connection and may be replaced.
bool ipc_listener_present(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;  // too long to bind; zmq_bind says so
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe == -1) {
        return false;
    }
    const int connected = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    // EAGAIN: a listener whose backlog is full; EACCES: one this process may
    // not reach. Either way someone listens.
    const bool present = connected == 0 || (errno != ECONNREFUSED && errno != ENOENT);
    close(probe);
    return present;
}

int bind_endpoint(void* socket, const std::string& url)
{
    const std::string path = ipc_path(url);
    const bool ours = bound_here_before(url);
    const auto deadline = std::chrono::steady_clock::now() + own_listener_grace;
    for (;;) {
        int bound = -1;
        {
            std::optional<directory_lock> lock;
            if (!path.empty()) {
                lock.emplace(path);
            }
            if (lock && !lock->held()) {
                errno = EWOULDBLOCK;
            } else if (!path.empty() && ipc_path_taken(path)) {
                errno = EADDRINUSE;
            } else {
                bound = zmq_bind(socket, url.c_str());
            }
        }
        const int err = zmq_errno();
        if (bound == 0) {
            std::lock_guard<std::mutex> lock(bound_endpoints_mutex);
            bound_endpoints.insert(url);
            return 0;
        }
        if (err != EADDRINUSE || !ours || std::chrono::steady_clock::now() >= deadline) {
            errno = err;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void wait_for_file_to_manifest_and_set_perms(const std::string& url)
{
    static constexpr char signature[] = "void wait_for_file_to_manifest_and_set_perms(const string&)";
    {
        // A host that interrupts its boost threads must not get
        // boost::thread_interrupted out of a socket operation.
        const boost::this_thread::disable_interruption uninterruptible;
        boost::this_thread::sleep(boost::posix_time::milliseconds(500));
    }

    if (!is_ipc(url)) {
        return;
    }
    std::string path = url.substr(ipc_prefix_length);
    // Never follow a link: whoever can write the queue directory could swap
    // the endpoint file for a link to any file of this process's user. A
    // trailing slash would make the kernel resolve a link despite the flag
    // (an abstract endpoint such as ipc://@name/ binds fine), so it goes.
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    if (fchmodat(AT_FDCWD, path.c_str(), 0771, AT_SYMLINK_NOFOLLOW) != 0 && !chmod_unless_link(path)) {
        const int err = errno;
        LOG4CXX_WARN(logger, "Failed to Set Permissions for ZMQ URL: " << url << " -- " << zmq_strerror(err));
    }
}

// What every socket gets besides its class's options: ZMTP 3 peers only (any
// non-empty ZAP domain makes libzmq refuse older peers at the handshake, so
// raw bytes never pass as a ZMTP 1.0 message; without a ZAP handler on the
// context, the NULL mechanism lets every ZMTP 3 peer in), and on a binding
// socket, where anyone may connect, a bound on inbound frames (a message's, or
// a subscription's on a publisher) and on the messages queued for each peer.
// A connecting socket stays unbounded: libzmq 4.3 treats an oversized frame
// as a protocol error, after which a connecting socket never reconnects.
void harden_socket(const char* signature, void* socket, bool binds)
{
    if (zmq_setsockopt(socket, ZMQ_ZAP_DOMAIN, zap_domain, sizeof zap_domain - 1) != 0) {
        const int err = zmq_errno();
        LOG4CXX_WARN(logger, "Failed to Set Socket ZAP Domain (" << zap_domain << ") -- " << zmq_strerror(err));
    }
    if (!binds) {
        return;
    }
    const bool takes_subscriptions = publishes(socket);
    const int64_t bound = takes_subscriptions ? longest_inbound_subscription : longest_inbound_frame;
    if (zmq_setsockopt(socket, ZMQ_MAXMSGSIZE, &bound, sizeof bound) != 0) {
        const int err = zmq_errno();
        LOG4CXX_WARN(logger, "Failed to Set Socket Maximum Message Size (" << bound << ") -- " << zmq_strerror(err));
    }
    if (!takes_subscriptions &&
        zmq_setsockopt(socket, ZMQ_RCVHWM, &queued_inbound_messages, sizeof queued_inbound_messages) != 0) {
        const int err = zmq_errno();
        LOG4CXX_WARN(logger, "Failed to Set Socket Receive High Water Mark (" << queued_inbound_messages << ") -- "
                                                                             << zmq_strerror(err));
    }
}

}  // namespace vorzmq::internal

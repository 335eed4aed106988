// SPDX-License-Identifier: MIT
// libvorzmq: the six socket and context classes, the poller and the three
// free functions.
//
#include "vorzmq.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <locale>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>
#include <json/reader.h>
#include <json/writer.h>
#include <log4cxx/log4cxx.h>
#include <zmq.h>

// Every record names its function by a fixed signature text, so the location
// does not depend on the compiler's spelling of __PRETTY_FUNCTION__. Each
// logging function declares `signature`; the log4cxx level macros pick it up
// through LOG4CXX_LOCATION, which they expand where they are used.
#undef LOG4CXX_LOCATION
#define LOG4CXX_LOCATION vorzmq_location(signature, __LINE__)

namespace {

constexpr char source_file[] = "vorzmq.cpp";

// Received text is cut at this length, as if read into a 4 MiB buffer that
// always keeps one byte for the terminating zero.
constexpr size_t longest_text = 4194304 - 1;

// The largest frame a binding socket takes from a peer: the longest text and
// its zero byte. libzmq drops the connection of a peer whose frame header
// announces more, before it allocates anything for the frame.
constexpr int64_t longest_inbound_frame = longest_text + 1;

// Any non-empty ZAP domain makes libzmq refuse peers older than ZMTP 3 at the
// handshake, so raw bytes never pass as a ZMTP 1.0 message. Without a ZAP
// handler on the context, the NULL mechanism lets every ZMTP 3 peer in.
constexpr char zap_domain[] = "vorzmq";

// How long a re-bind waits for this process's own closed listener on the same
// endpoint to go away (zmq_close hands the close to an I/O thread).
constexpr auto own_listener_grace = std::chrono::milliseconds(250);

constexpr char ok_reply[] = "ok";  // sent with its terminating zero byte
constexpr char ipc_prefix[] = "ipc://";
constexpr size_t ipc_prefix_length = sizeof ipc_prefix - 1;

// This thread's last outcome (see vorzmq_last_result). Initial-exec TLS: a
// plain load and store, with no call, on the publish path.
struct outcome {
    vorzmq_result result;
    int error;
};
__attribute__((tls_model("initial-exec"))) thread_local outcome last_outcome{vorzmq_result::ok, 0};

void record(vorzmq_result result, int error = 0)
{
    last_outcome = {result, error};
}

// A receive that failed with EAGAIN found nothing within its timeout.
void record_failed_receive(bool timed_out, int err)
{
    record(timed_out ? vorzmq_result::no_reply : vorzmq_result::receive_failed, err);
}

log4cxx::spi::LocationInfo vorzmq_location(const char* function, int line)
{
#if defined(LOG4CXX_VERSION_MAJOR) && LOG4CXX_VERSION_MAJOR >= 1
    return log4cxx::spi::LocationInfo(source_file, source_file, function, line);
#else
    return log4cxx::spi::LocationInfo(source_file, function, line);
#endif
}

void require_context(void* context)
{
    if (context == nullptr) {
        throw std::runtime_error("ZMQ Context is NULL");
    }
}

// Every socket constructor names its endpoint first, then refuses a context
// without a handle.
void announce_socket(const char* signature, const char* announcement, const std::string& url, void* context)
{
    LOG4CXX_DEBUG(logger, announcement << url);
    require_context(context);
}

// libzmq rejects a null handle harmlessly, so a reset of an object that
// never had a socket may pass it on.
void close_socket(void*& socket)
{
    zmq_close(socket);
    socket = nullptr;
}

// One received frame, released on every path.
struct frame {
    frame() { zmq_msg_init(&message); }
    ~frame() { zmq_msg_close(&message); }
    frame(const frame&) = delete;
    frame& operator=(const frame&) = delete;

    bool more() const { return zmq_msg_more(&message) != 0; }

    // The frame's bytes up to its first zero byte, at most longest_text.
    std::string_view text()
    {
        const char* data = static_cast<const char*>(zmq_msg_data(&message));
        const size_t size = std::min(zmq_msg_size(&message), longest_text);
        const void* zero = size == 0 ? nullptr : std::memchr(data, 0, size);
        return {data, zero ? static_cast<size_t>(static_cast<const char*>(zero) - data) : size};
    }

    // Whether text() would lose bytes of the frame's text: no zero byte ends
    // it within longest_text bytes.
    bool cut()
    {
        const size_t size = zmq_msg_size(&message);
        return size > longest_text && std::memchr(zmq_msg_data(&message), 0, longest_text + 1) == nullptr;
    }

    zmq_msg_t message;
};

// Reads and drops the rest of a message whose first frame was taken, so that
// a peer's extra frames can never leave a REQ or REP socket half-read or shift
// the next message of a SUB socket. Returns false, with errno from libzmq,
// when a read fails.
bool discard_rest_of_message(void* socket, bool more)
{
    while (more) {
        frame extra;
        if (zmq_msg_recv(&extra.message, socket, 0) == -1) {
            return false;
        }
        more = extra.more();
    }
    return true;
}

bool discard_rest_of_message(void* socket)
{
    int more = 0;
    size_t more_size = sizeof more;
    if (zmq_getsockopt(socket, ZMQ_RCVMORE, &more, &more_size) != 0) {
        return false;
    }
    return discard_rest_of_message(socket, more != 0);
}

bool sent_whole(int sent, size_t size)
{
    return sent >= 0 && static_cast<size_t>(sent) == size;
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

// Pauses so that a fresh bind can settle, then lets processes of the file's
// group connect to an ipc:// endpoint.
void wait_for_file_to_manifest_and_set_perms(const std::string& url)
{
    static constexpr char signature[] = "void wait_for_file_to_manifest_and_set_perms(const string&)";
    boost::this_thread::sleep(boost::posix_time::milliseconds(500));

    if (url.size() <= ipc_prefix_length || url.compare(0, ipc_prefix_length, ipc_prefix) != 0) {
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

// The file system path of an ipc:// endpoint, or empty for other transports
// and for abstract names ("@name"), which the kernel itself keeps unique.
std::string ipc_path(const std::string& url)
{
    if (url.size() <= ipc_prefix_length || url.compare(0, ipc_prefix_length, ipc_prefix) != 0 ||
        url[ipc_prefix_length] == '@') {
        return {};
    }
    return url.substr(ipc_prefix_length);
}

// Whether a process listens on the ipc path: libzmq's bind would unlink its
// file and silently take its peers. A file without a listener (left by a
// crash) refuses the connection and may be replaced.
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
    // EAGAIN: a listener whose backlog is full.
    const bool present = connected == 0 || errno == EAGAIN;
    close(probe);
    return present;
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

// Holds an exclusive lock on the endpoint file's directory, so that two
// processes of this library binding the same ipc path take turns between
// probe and bind. Other programs do not take it.
class directory_lock {
public:
    explicit directory_lock(const std::string& path)
    {
        const size_t slash = path.find_last_of('/');
        const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        descriptor = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptor != -1) {
            flock(descriptor, LOCK_EX);
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

private:
    int descriptor;
};

// zmq_bind that never takes over an ipc path where another process listens
// (it fails with EADDRINUSE, as tcp does), and that waits out this process's
// own listener of the same endpoint, which an asynchronous zmq_close may leave
// open for a moment after a reset. Returns zmq_bind's result; errno is set.
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
            if (!path.empty() && ipc_listener_present(path)) {
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

// What every socket gets besides its class's options: ZMTP 3 peers only, and
// on a binding socket, where anyone may connect, a bound on inbound frames.
// A connecting socket stays unbounded: libzmq 4.3 treats an oversized frame
// as a protocol error, after which a connecting socket never reconnects.
void harden_socket(const char* signature, void* socket, bool binds)
{
    if (zmq_setsockopt(socket, ZMQ_ZAP_DOMAIN, zap_domain, sizeof zap_domain - 1) != 0) {
        const int err = zmq_errno();
        LOG4CXX_WARN(logger, "Failed to Set Socket ZAP Domain (" << zap_domain << ") -- " << zmq_strerror(err));
    }
    if (binds && zmq_setsockopt(socket, ZMQ_MAXMSGSIZE, &longest_inbound_frame, sizeof longest_inbound_frame) != 0) {
        const int err = zmq_errno();
        LOG4CXX_WARN(logger, "Failed to Set Socket Maximum Message Size (" << longest_inbound_frame << ") -- "
                                                                          << zmq_strerror(err));
    }
}

struct socket_option {
    int option;
    int32_t value;
    const char* name;  // as it appears in "Failed to Set Socket <name> (<value>) -- "
};

// What sets one class's socket apart in the shared lifecycle below.
struct socket_recipe {
    const char* signature;
    int type;
    const char* missing_context;
    bool skip_empty_url;
    const char* closing;
    bool closing_names_url;
    const char* announce;  // DEBUG record before each creation, or null
    bool init_failure_names_url;
    socket_option options[3];  // entries without a name are not set
    bool binds;
    const char* attach_failure;
    bool pause_after_failed_bind;
};

// The lifecycle shared by every socket class: carry out a pending reset, then
// create, configure and connect or bind a socket when there is none. Returns
// true when a new socket is ready.
bool ensure_socket(const socket_recipe& recipe, void* context, const std::string& url, void*& socket,
                   bool& reset_pending)
{
    const char* const signature = recipe.signature;
    if (context == nullptr) {
        record(vorzmq_result::no_socket);
        LOG4CXX_ERROR(logger, recipe.missing_context);
        return false;
    }
    if (recipe.skip_empty_url && url.empty()) {
        record(vorzmq_result::no_socket);
        return false;
    }
    if (reset_pending) {
        if (recipe.closing_names_url) {
            LOG4CXX_WARN(logger, recipe.closing << url);
        } else {
            LOG4CXX_WARN(logger, recipe.closing);
        }
        close_socket(socket);
        reset_pending = false;
    } else if (socket != nullptr) {
        record(vorzmq_result::ok);
        return false;
    }

    if (recipe.announce != nullptr) {
        LOG4CXX_DEBUG(logger, recipe.announce << url);
    }
    socket = zmq_socket(context, recipe.type);
    if (socket == nullptr) {
        const int err = zmq_errno();
        record(vorzmq_result::no_socket, err);
        if (recipe.init_failure_names_url) {
            LOG4CXX_ERROR(logger, "ZMQ Socket Init Failed -- " << zmq_strerror(err) << " -- " << url);
        } else {
            LOG4CXX_ERROR(logger, "ZMQ Socket Init Failed -- " << zmq_strerror(err));
        }
        return false;
    }
    for (const socket_option& setting : recipe.options) {
        if (setting.name != nullptr && zmq_setsockopt(socket, setting.option, &setting.value, sizeof setting.value) != 0) {
            const int err = zmq_errno();
            LOG4CXX_WARN(logger, "Failed to Set Socket " << setting.name << " (" << setting.value << ") -- "
                                                         << zmq_strerror(err));
        }
    }
    harden_socket(signature, socket, recipe.binds);
    const int attached = recipe.binds ? bind_endpoint(socket, url) : zmq_connect(socket, url.c_str());
    if (attached != 0) {
        const int err = zmq_errno();
        record(vorzmq_result::no_socket, err);
        LOG4CXX_ERROR(logger, recipe.attach_failure << url << " -- " << zmq_strerror(err) << " -- Closing Socket");
        close_socket(socket);
        if (recipe.pause_after_failed_bind) {
            sleep(5);
        }
        return false;
    }
    if (recipe.binds) {
        wait_for_file_to_manifest_and_set_perms(url);
    }
    record(vorzmq_result::ok);
    return true;
}

bool socket_ready(void* context, void* socket, bool reset_pending)
{
    return context != nullptr && socket != nullptr && !reset_pending;
}

// init_if_necessary's first test: a socket that is ready is an outcome too.
bool already_ready(void* context, void* socket, bool reset_pending)
{
    if (!socket_ready(context, socket, reset_pending)) {
        return false;
    }
    record(vorzmq_result::ok);
    return true;
}

// The endpoint a bound socket has, as libzmq reports it.
std::string bound_endpoint(void* socket)
{
    if (socket == nullptr) {
        return {};
    }
    char endpoint[1024];
    size_t size = sizeof endpoint;
    if (zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &size) != 0) {
        return {};
    }
    return std::string(endpoint, strnlen(endpoint, size));
}

// The topic frame is the topic and its "$" in one block. Short topics are
// put together on the stack, so a publication costs no allocation and one
// libzmq call a frame, as a raw zmq_send does.
[[gnu::noinline]] int send_long_topic_frame(void* socket, const std::string& topic)
{
    std::string frame;
    frame.reserve(topic.size() + 1);
    frame.append(topic).push_back('$');
    return zmq_send(socket, frame.data(), frame.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT);
}

// A publication that could not be queued: a full queue drops it, any other
// error means not sent. Without a socket the failed bind already told why.
void record_failed_publish(void* socket, int err)
{
    if (socket != nullptr) {
        record(err == EAGAIN ? vorzmq_result::dropped : vorzmq_result::not_sent, err);
    }
}

int send_topic_frame(void* socket, const std::string& topic, bool terminated)
{
    if (terminated) {
        return zmq_send(socket, topic.data(), topic.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT);
    }
    char frame[256];
    if (topic.size() >= sizeof frame) {
        return send_long_topic_frame(socket, topic);
    }
    std::memcpy(frame, topic.data(), topic.size());
    frame[topic.size()] = '$';
    return zmq_send(socket, frame, topic.size() + 1, ZMQ_SNDMORE | ZMQ_DONTWAIT);
}

// Whether libzmq may drop a message for a subscriber whose queue is full
// (its default), or must refuse the whole message with EAGAIN instead.
void allow_drops(void* socket, bool allowed)
{
    const int no_drop = allowed ? 0 : 1;
    zmq_setsockopt(socket, ZMQ_XPUB_NODROP, &no_drop, sizeof no_drop);
}

// A publish socket runs with ZMQ_XPUB_NODROP, so a message that some matching
// subscriber's queue has no room for is refused (EAGAIN) rather than dropped
// unseen. The queue may only look full: libzmq takes in the subscribers' read
// credits about once a millisecond during sends, so asking for ZMQ_EVENTS
// takes them in now, and the message goes out if that made room. If not, it
// goes out with drops allowed, so that only the subscribers whose queues are
// full miss it; `dropped` tells the caller to allow no drops again after the
// data frame and to report the loss. Costs nothing while every queue has room.
[[gnu::cold]] [[gnu::noinline]] int send_topic_frame_past_full_queue(void* socket, const std::string& topic,
                                                                     bool terminated, bool& dropped)
{
    int events = 0;
    size_t events_size = sizeof events;
    zmq_getsockopt(socket, ZMQ_EVENTS, &events, &events_size);
    const int sent = send_topic_frame(socket, topic, terminated);
    if (sent != -1 || zmq_errno() != EAGAIN) {
        return sent;
    }
    dropped = true;
    allow_drops(socket, true);
    return send_topic_frame(socket, topic, terminated);
}

// A receive that found nothing within its timeout leaves the socket as it is;
// any other failure breaks it until the next init_if_necessary.
void report_failed_receive(const char* signature, bool timed_out, int err, int32_t timeout_ms,
                           const char* timeout_text, const char* failure_text, bool& reset_pending)
{
    if (timed_out) {
        LOG4CXX_TRACE(logger, timeout_text << timeout_ms << "ms");
        return;
    }
    LOG4CXX_ERROR(logger, failure_text << zmq_strerror(err) << " -- Closing Socket on Unexpected Error");
    reset_pending = true;
}

// A subscription filter that libzmq refuses leaves the socket closed, so that
// the next operation starts afresh with every recorded filter.
bool set_filter(void*& socket, const std::string& url, const std::string& filter, const char* signature)
{
    if (zmq_setsockopt(socket, ZMQ_SUBSCRIBE, filter.data(), filter.size()) == 0) {
        return true;
    }
    const int err = zmq_errno();
    if (socket != nullptr) {  // else the failed connect already told why
        record(vorzmq_result::no_socket, err);
    }
    LOG4CXX_ERROR(logger, "Failed to Set Socket Message Filter -- " << zmq_strerror(err) << " -- Closing Socket");
    zmq_disconnect(socket, url.c_str());
    close_socket(socket);
    return false;
}

// Json::Reader and Json::FastWriter define the texts on the wire; JsonCpp
// marks them deprecated, so the warning is silenced here alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// Parses with JsonCpp's default features (comments kept). Input nested too
// deeply makes JsonCpp throw; that counts as invalid JSON, never as a crash.
bool parse_json(const std::string& text, Json::Value& value)
{
    try {
        Json::Reader reader;
        return reader.parse(text, value, true);
    } catch (const std::exception&) {
        return false;
    }
}

std::string compact_json(const Json::Value& value)
{
    Json::FastWriter writer;
    return writer.write(value);
}

#pragma GCC diagnostic pop

}  // namespace

// ---------------------------------------------------------------- context

vorzmq_context::vorzmq_context() : context(nullptr)
{
    static constexpr char signature[] = "vorzmq_context::vorzmq_context()";
    LOG4CXX_DEBUG(logger, "Initializing ZMQ Context");
    context = zmq_ctx_new();
    if (context == nullptr) {
        const int err = zmq_errno();
        LOG4CXX_ERROR(logger, "ZMQ Context Init Failed -- " << zmq_strerror(err));
    }
}

vorzmq_context::~vorzmq_context()
{
    static constexpr char signature[] = "vorzmq_context::~vorzmq_context()";
    if (context == nullptr) {
        return;
    }
    LOG4CXX_DEBUG(logger, "Destroying Existing ZMQ Context");
    zmq_ctx_destroy(context);
    context = nullptr;
}

// ---------------------------------------------------------------- free functions

vorzmq_result vorzmq_last_result()
{
    return last_outcome.result;
}

int vorzmq_last_error()
{
    return last_outcome.result == vorzmq_result::ok ? 0 : last_outcome.error;
}

const char* vorzmq_result_text(vorzmq_result result)
{
    switch (result) {
    case vorzmq_result::ok:
        return "ok";
    case vorzmq_result::no_socket:
        return "no socket";
    case vorzmq_result::not_sent:
        return "not sent";
    case vorzmq_result::no_reply:
        return "no reply";
    case vorzmq_result::receive_failed:
        return "receive failed";
    case vorzmq_result::unexpected_reply:
        return "unexpected reply";
    case vorzmq_result::invalid_data:
        return "invalid data";
    case vorzmq_result::dropped:
        return "dropped";
    }
    return "unknown result";
}

bool valid_url(const std::string& url)
{
    return !url.empty();
}

std::string build_request_response_url(const std::string& name)
{
    static constexpr char signature[] = "std::string build_request_response_url(const string&)";
    const auto& classes = std::use_facet<std::ctype<char>>(std::locale());
    size_t end = name.size();
    while (end > 0 && classes.is(std::ctype_base::space, name[end - 1])) {
        --end;
    }
    size_t begin = 0;
    while (begin < end && classes.is(std::ctype_base::space, name[begin])) {
        ++begin;
    }
    if (begin == end) {
        throw std::runtime_error("Empty Request Response Name is Invalid");
    }

    const char* home = getenv("VOR_HOME");
    if (home == nullptr) {
        LOG4CXX_ERROR(logger, "VOR_HOME Environment Variable Not Set");
        throw std::runtime_error("VOR_HOME Environment Variable Not Set");
    }
    std::string url = ipc_prefix;
    url.append(home).append("/queues/").append(name, begin, end - begin);
    return url;
}

bool build_json(const std::string& topic, const std::string& data, std::stringstream& out)
{
    Json::Value parsed;
    if (!parse_json(data, parsed)) {
        return false;
    }
    Json::Value envelope;
    envelope["topic"] = topic;
    envelope["data"] = std::move(parsed);
    try {
        out << envelope;
    } catch (const std::exception&) {
        return false;  // nothing but a failed allocation can get here
    }
    return true;
}

// ---------------------------------------------------------------- request socket

vorzmq_request_socket::vorzmq_request_socket(vorzmq_context& owner, const std::string& url)
    : url(url), receive_timeout_ms(1000), linger_ms(1000), receive_flags(0), context(owner.context),
      socket(nullptr), reset_pending(false)
{
    announce_socket("vorzmq_request_socket::vorzmq_request_socket(vorzmq_context&, const string&)",
                    "Initializing ZMQ Request Socket: ", url, context);
}

vorzmq_request_socket::~vorzmq_request_socket()
{
    if (socket != nullptr) {
        close_socket(socket);
    }
}

void vorzmq_request_socket::init_if_necessary()
{
    if (already_ready(context, socket, reset_pending)) {
        return;
    }
    const socket_recipe recipe{"void vorzmq_request_socket::init_if_necessary()",
                               ZMQ_REQ,
                               "Cannot Create ZMQ Request Socket without Valid Context",
                               true,
                               "Closing Request Socket: ",
                               true,
                               nullptr,
                               false,
                               {{ZMQ_RCVTIMEO, receive_timeout_ms, "Timeout"}, {ZMQ_LINGER, linger_ms, "Linger"}},
                               false,
                               "Failed to Connect to ZMQ URL: ",
                               false};
    ensure_socket(recipe, context, url, socket, reset_pending);
}

void vorzmq_request_socket::send(const std::string& message, bool expect_ok)
{
    static constexpr char signature[] = "void vorzmq_request_socket::send(const string&, bool)";
    init_if_necessary();
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Send Request without Valid Socket");
        return;
    }
    if (!sent_whole(zmq_send(socket, message.data(), message.size(), 0), message.size())) {
        const int err = zmq_errno();
        record(vorzmq_result::not_sent, err);
        LOG4CXX_ERROR(logger, "Failed to Send Message: " << message << " -- " << zmq_strerror(err));
        return;
    }
    if (!expect_ok) {
        record(vorzmq_result::ok);
        return;
    }

    frame reply;
    if (zmq_msg_recv(&reply.message, socket, receive_flags) == -1 ||
        !discard_rest_of_message(socket, reply.more())) {
        const int err = zmq_errno();
        record_failed_receive(err == EAGAIN, err);
        LOG4CXX_ERROR(logger, "Failed to Receive Message Reply -- " << zmq_strerror(err));
        reset_pending = true;
        return;
    }
    const std::string_view text = reply.text();
    if (text == ok_reply) {
        record(vorzmq_result::ok);
        return;
    }
    record(vorzmq_result::unexpected_reply);
    LOG4CXX_WARN(logger, "Received Unexpected Reply: " << text);
    reset_pending = true;
}

size_t vorzmq_request_socket::receive(void* buffer, size_t buffer_size)
{
    static constexpr char signature[] = "size_t vorzmq_request_socket::receive(void*, size_t)";
    const int size = zmq_recv(socket, buffer, buffer_size, receive_flags);
    if (size == -1 || !discard_rest_of_message(socket)) {
        const int err = zmq_errno();
        record_failed_receive(err == EAGAIN, err);
        LOG4CXX_ERROR(logger, "Failed to Receive Reply -- " << zmq_strerror(err));
        reset_pending = true;
        return 0;
    }
    record(vorzmq_result::ok);
    if (static_cast<size_t>(size) > buffer_size) {
        LOG4CXX_WARN(logger, "Insufficient Buffer Size (" << buffer_size << " < " << size << ") -- Repy Truncated");
        return buffer_size;
    }
    return static_cast<size_t>(size);
}

bool vorzmq_request_socket::valid()
{
    return valid_url(url);
}

void vorzmq_request_socket::set_receive_timeout_ms(int32_t milliseconds)
{
    receive_timeout_ms = milliseconds;
}

// ---------------------------------------------------------------- reply socket

namespace {

// Reads one request, its extra frames dropped: the whole request must be read
// before a REP socket accepts a reply. A failure is recorded and logged.
bool receive_request(const char* signature, void* socket, int flags, int32_t timeout_ms, bool& reset_pending,
                     frame& request)
{
    if (zmq_msg_recv(&request.message, socket, flags) == -1 || !discard_rest_of_message(socket, request.more())) {
        const int err = zmq_errno();
        record_failed_receive(err == EAGAIN && timeout_ms >= 0, err);
        report_failed_receive(signature, err == EAGAIN && timeout_ms >= 0, err, timeout_ms,
                              "No Messages Received Before Timeout: ", "Failed to Receive Message -- ZMQ Error: ",
                              reset_pending);
        return false;
    }
    return true;
}

}  // namespace



vorzmq_reply_socket::vorzmq_reply_socket(vorzmq_context& owner, const std::string& url)
    : url(url), receive_timeout_ms(1000), linger_ms(1000), receive_flags(0), context(owner.context),
      socket(nullptr), reset_pending(false)
{
    announce_socket("vorzmq_reply_socket::vorzmq_reply_socket(vorzmq_context&, const string&)",
                    "Initializing ZMQ Socket: ", url, context);
}

vorzmq_reply_socket::~vorzmq_reply_socket()
{
    if (socket != nullptr) {
        close_socket(socket);
    }
}

void vorzmq_reply_socket::init_if_necessary()
{
    if (already_ready(context, socket, reset_pending)) {
        return;
    }
    const socket_recipe recipe{"void vorzmq_reply_socket::init_if_necessary()",
                               ZMQ_REP,
                               "Cannot Create ZMQ Socket without Valid Context",
                               false,
                               "Closing Socket",
                               false,
                               nullptr,
                               false,
                               {{ZMQ_RCVTIMEO, receive_timeout_ms, "Timeout"}, {ZMQ_LINGER, linger_ms, "Linger"}},
                               true,
                               "Failed to Bind to ZMQ URL: ",
                               true};
    ensure_socket(recipe, context, url, socket, reset_pending);
}

bool vorzmq_reply_socket::receive(std::stringstream& stream, bool acknowledge)
{
    static constexpr char signature[] = "bool vorzmq_reply_socket::receive(std::stringstream&, bool)";
    init_if_necessary();
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Receive Request without Valid Socket");
        return false;
    }
    frame request;
    if (!receive_request(signature, socket, receive_flags, receive_timeout_ms, reset_pending, request)) {
        return false;
    }
    if (request.cut()) {
        // Acknowledged, a cut request would count as delivered. It gets an
        // empty reply, which keeps the socket ready for the next request.
        LOG4CXX_WARN(logger, "Refused Over-Long Request -- " << zmq_msg_size(&request.message) << " bytes");
        send(std::string());
        record(vorzmq_result::receive_failed, EMSGSIZE);
        return false;
    }
    record(vorzmq_result::ok);
    if (acknowledge) {
        send_ok();
    }
    const std::string_view text = request.text();
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
    return true;
}

bool vorzmq_reply_socket::receive(std::string& request, bool acknowledge)
{
    static constexpr char signature[] = "bool vorzmq_reply_socket::receive(string&, bool)";
    init_if_necessary();
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Receive Request without Valid Socket");
        return false;
    }
    frame message;
    if (!receive_request(signature, socket, receive_flags, receive_timeout_ms, reset_pending, message)) {
        return false;
    }
    record(vorzmq_result::ok);
    if (acknowledge) {
        send_ok();
    }
    request.assign(static_cast<const char*>(zmq_msg_data(&message.message)), zmq_msg_size(&message.message));
    return true;
}

void vorzmq_reply_socket::send_ok()
{
    static constexpr char signature[] = "void vorzmq_reply_socket::send_ok()";
    if (!sent_whole(zmq_send(socket, ok_reply, sizeof ok_reply, 0), sizeof ok_reply)) {
        const int err = zmq_errno();
        record(vorzmq_result::not_sent, err);
        LOG4CXX_ERROR(logger, "Failed to Send OK Response -- " << zmq_strerror(err));
        return;
    }
    record(vorzmq_result::ok);
}

void vorzmq_reply_socket::send(const std::string& response)
{
    static constexpr char signature[] = "void vorzmq_reply_socket::send(const string&)";
    if (!sent_whole(zmq_send(socket, response.data(), response.size(), 0), response.size())) {
        const int err = zmq_errno();
        record(vorzmq_result::not_sent, err);
        LOG4CXX_ERROR(logger, "Failed to Send Response -- " << zmq_strerror(err));
        return;
    }
    record(vorzmq_result::ok);
}

void vorzmq_reply_socket::send(const void* data, size_t size)
{
    static constexpr char signature[] = "void vorzmq_reply_socket::send(const void*, size_t)";
    init_if_necessary();
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Send Request without Valid Socket");
        return;
    }
    if (!sent_whole(zmq_send(socket, data, size, 0), size)) {
        const int err = zmq_errno();
        record(vorzmq_result::not_sent, err);
        LOG4CXX_ERROR(logger, "Failed to Send Data -- " << zmq_strerror(err));
        reset_pending = true;
        return;
    }
    record(vorzmq_result::ok);
}

void vorzmq_reply_socket::send(const Json::Value& response)
{
    send(compact_json(response));
}

void vorzmq_reply_socket::set_receive_timeout_ms(int32_t milliseconds)
{
    receive_timeout_ms = milliseconds;
}

void vorzmq_reply_socket::set_linger_ms(int32_t milliseconds)
{
    linger_ms = milliseconds;
}

void vorzmq_reply_socket::set_receive_flags(int32_t flags)
{
    receive_flags = flags;
}

std::string vorzmq_reply_socket::last_endpoint() const
{
    return bound_endpoint(socket);
}

// ---------------------------------------------------------------- publish socket

vorzmq_pub_socket::vorzmq_pub_socket(vorzmq_context& owner, const std::string& url)
    : url(url), high_water_mark(16), linger_ms(1000), context(owner.context), socket(nullptr),
      reset_pending(false)
{
    announce_socket("vorzmq_pub_socket::vorzmq_pub_socket(vorzmq_context&, const string&)",
                    "Initializing ZMQ Publish Socket: ", url, context);
}

// Closed without an unbind: libzmq's unbind also ends the connections
// accepted on the endpoint, with the messages still queued for them, which
// would defeat the linger. The close alone releases the endpoint too.
vorzmq_pub_socket::~vorzmq_pub_socket()
{
    if (socket != nullptr) {
        close_socket(socket);
    }
}

void vorzmq_pub_socket::set_high_water_mark(int32_t messages)
{
    high_water_mark = messages;
}

void vorzmq_pub_socket::set_linger_ms(int32_t milliseconds)
{
    linger_ms = milliseconds;
}

bool vorzmq_pub_socket::valid()
{
    return valid_url(url);
}

void vorzmq_pub_socket::init_if_necessary()
{
    if (already_ready(context, socket, reset_pending)) {
        return;
    }
    const socket_recipe recipe{"void vorzmq_pub_socket::init_if_necessary()",
                               ZMQ_PUB,
                               "Cannot Create ZMQ Socket without Valid Context",
                               false,
                               "Closing Socket: ",
                               true,
                               nullptr,
                               true,
                               {{ZMQ_SNDHWM, high_water_mark, "High Water Mark"},
                                {ZMQ_LINGER, linger_ms, "Linger"},
                                {ZMQ_XPUB_NODROP, 1, "No Drop"}},
                               true,
                               "Failed to Bind ZMQ URL: ",
                               false};
    ensure_socket(recipe, context, url, socket, reset_pending);
}

void vorzmq_pub_socket::send(const std::string& topic, const std::string& data)
{
    static constexpr char signature[] = "void vorzmq_pub_socket::send(const string&, const string&)";
    // init_if_necessary's first test, inline: a publication is short enough
    // for one more call to show.
    if (!socket_ready(context, socket, reset_pending)) {
        init_if_necessary();
    }

    const bool terminated = !topic.empty() && topic.back() == '$';
    const char* const terminator = terminated ? "" : "$";
    int sent = send_topic_frame(socket, topic, terminated);
    bool dropped = false;
    if (sent == -1 && zmq_errno() == EAGAIN) {
        sent = send_topic_frame_past_full_queue(socket, topic, terminated, dropped);
    }
    if (sent == -1) {
        const int err = zmq_errno();
        record_failed_publish(socket, err);
        if (dropped) {
            allow_drops(socket, false);
        }
        if (err == EAGAIN) {
            LOG4CXX_WARN(logger, "Failed to Publish Message Topic: " << topic << terminator
                                                                     << " -- ZMQ Error: " << zmq_strerror(err));
        } else {
            LOG4CXX_ERROR(logger, "Failed to Publish Message Topic: " << topic << terminator << " -- ZMQ Error: "
                                                                      << zmq_strerror(err)
                                                                      << " -- Closing Socket on Unexpected Error");
            reset_pending = true;
        }
        return;
    }

    // c_str() ends in the zero byte that the data frame carries.
    sent = zmq_send(socket, data.c_str(), data.size() + 1, ZMQ_DONTWAIT);
    if (dropped) {
        const int err = zmq_errno();
        allow_drops(socket, false);
        LOG4CXX_WARN(logger, "Failed to Publish Message Topic: " << topic << terminator
                                                                 << " -- ZMQ Error: " << zmq_strerror(EAGAIN));
        errno = err;
    }
    if (sent == -1) {
        const int err = zmq_errno();
        record_failed_publish(socket, err);
        if (err == EAGAIN) {
            LOG4CXX_WARN(logger, "Failed to Publish Message: " << data << " -- ZMQ Error: " << zmq_strerror(err));
        } else {
            LOG4CXX_ERROR(logger, "Failed to Publish Message: " << data << " -- ZMQ Error: " << zmq_strerror(err)
                                                                << " -- Closing Socket on Unexpected Error");
            reset_pending = true;
        }
        return;
    }
    if (dropped) {
        record(vorzmq_result::dropped, EAGAIN);
    } else {
        record(vorzmq_result::ok);
    }
}

std::string vorzmq_pub_socket::last_endpoint() const
{
    return bound_endpoint(socket);
}

// ---------------------------------------------------------------- subscribe socket

namespace {

// Reads the next message up to its topic frame. A message of one frame only
// carries no data: it is dropped and the wait goes on.
bool receive_topic_frame(void* socket, int flags, frame& topic)
{
    do {
        if (zmq_msg_recv(&topic.message, socket, flags) == -1) {
            return false;
        }
    } while (!topic.more());
    return true;
}

// A failed subscribe receive, out of the way of the path that succeeds.
[[gnu::cold]] [[gnu::noinline]] bool failed_subscribe_receive(const char* signature, bool topic_frame,
                                                                int32_t timeout_ms, bool& reset_pending)
{
    const int err = zmq_errno();
    record_failed_receive(err == EAGAIN, err);
    if (topic_frame) {
        report_failed_receive(signature, err == EAGAIN, err, timeout_ms, "No Message Topic Received Before Timeout: ",
                              "Failed to Receive Message Topic -- ZMQ Error: ", reset_pending);
    } else {
        report_failed_receive(signature, err == EAGAIN, err, timeout_ms, "No Messages Received Before Timeout: ",
                              "Failed to Receive Message -- ZMQ Error: ", reset_pending);
    }
    return false;
}

// Reads a message's data frame, dropping any frame after it.
bool receive_data_frame(void* socket, int flags, frame& data)
{
    return zmq_msg_recv(&data.message, socket, flags) != -1 && discard_rest_of_message(socket, data.more());
}

// Unformatted: a formatted insertion would build a sentry and pad to the
// stream's width for every message.
void append_text(std::stringstream& stream, frame& data)
{
    const std::string_view text = data.text();
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// The text receive: the data as text onto `stream`. One frame serves for the
// topic and then the data: each receive releases what the frame held before.
bool receive_text(const char* signature, void* socket, int flags, int32_t timeout_ms, bool& reset_pending,
                  std::stringstream& stream)
{
    frame message;
    if (!receive_topic_frame(socket, flags, message)) {
        return failed_subscribe_receive(signature, true, timeout_ms, reset_pending);
    }
    if (!receive_data_frame(socket, flags, message)) {
        return failed_subscribe_receive(signature, false, timeout_ms, reset_pending);
    }
    record(vorzmq_result::ok);
    append_text(stream, message);
    return true;
}

// As receive_text, and `topic_out` gets the topic without the one "$" its
// publisher added.
bool receive_text_and_topic(const char* signature, void* socket, int flags, int32_t timeout_ms,
                            bool& reset_pending, std::stringstream& stream, std::string& topic_out)
{
    frame topic;
    if (!receive_topic_frame(socket, flags, topic)) {
        return failed_subscribe_receive(signature, true, timeout_ms, reset_pending);
    }
    frame data;
    if (!receive_data_frame(socket, flags, data)) {
        return failed_subscribe_receive(signature, false, timeout_ms, reset_pending);
    }
    const char* bytes = static_cast<const char*>(zmq_msg_data(&topic.message));
    size_t size = zmq_msg_size(&topic.message);
    if (size > 0 && bytes[size - 1] == '$') {
        --size;
    }
    topic_out.assign(bytes, size);
    record(vorzmq_result::ok);
    append_text(stream, data);
    return true;
}

}  // namespace

vorzmq_sub_socket::vorzmq_sub_socket(vorzmq_context& owner, const std::string& url)
    : url(url), receive_timeout_ms(-1), linger_ms(1000), receive_flags(0), context(owner.context),
      socket(nullptr), reset_pending(false)
{
    announce_socket("vorzmq_sub_socket::vorzmq_sub_socket(vorzmq_context&, const string&)",
                    "Initializing ZMQ Subscribe Socket: ", url, context);
}

vorzmq_sub_socket::~vorzmq_sub_socket()
{
    if (socket != nullptr) {
        close_socket(socket);
    }
}

void vorzmq_sub_socket::init_if_necessary()
{
    static constexpr char signature[] = "void vorzmq_sub_socket::init_if_necessary()";
    if (already_ready(context, socket, reset_pending)) {
        return;
    }
    const socket_recipe recipe{signature,
                               ZMQ_SUB,
                               "Cannot Create ZMQ Socket without Valid Context",
                               false,
                               "Closing Socket",
                               false,
                               "Initializing Sub Socket to: ",
                               false,
                               {{ZMQ_RCVTIMEO, receive_timeout_ms, "Timeout"}, {ZMQ_LINGER, linger_ms, "Linger"}},
                               false,
                               "Failed to Connect to ZMQ URL: ",
                               false};
    if (!ensure_socket(recipe, context, url, socket, reset_pending)) {
        return;
    }
    // A new socket hears exactly what the host asked for on the old one.
    for (const std::string& filter : filters) {
        if (!set_filter(socket, url, filter, signature)) {
            return;
        }
    }
}

void vorzmq_sub_socket::add_topic(const std::string& topic, bool exact_match)
{
    static constexpr char signature[] = "void vorzmq_sub_socket::add_topic(const string&, bool)";
    init_if_necessary();
    std::string filter = topic;
    if (!topic.empty() && exact_match) {
        filter += '$';
    }
    LOG4CXX_DEBUG(logger, "Adding Topic " << filter << " for URL: " << url);
    // Recorded even when it cannot be set now: the next socket gets it.
    filters.push_back(std::move(filter));
    set_filter(socket, url, filters.back(), signature);
}

void vorzmq_sub_socket::add_topic(const std::string& topic)
{
    add_topic(topic, true);
}

bool vorzmq_sub_socket::receive(std::stringstream& stream)
{
    static constexpr char signature[] = "bool vorzmq_sub_socket::receive(std::stringstream&)";
    // The set-up's tests, inline: a small message costs little more.
    if (!socket_ready(context, socket, reset_pending) || filters.empty()) {
        init_if_necessary();
        if (filters.empty()) {
            add_topic("");
        }
    }
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Receive Request without Valid Socket");
        return false;
    }
    return receive_text(signature, socket, receive_flags, receive_timeout_ms, reset_pending, stream);
}

bool vorzmq_sub_socket::receive(std::stringstream& stream, std::string& topic)
{
    static constexpr char signature[] = "bool vorzmq_sub_socket::receive(std::stringstream&, string&)";
    init_if_necessary();
    if (filters.empty()) {
        add_topic("");
    }
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Receive Request without Valid Socket");
        return false;
    }
    return receive_text_and_topic(signature, socket, receive_flags, receive_timeout_ms, reset_pending, stream, topic);
}

bool vorzmq_sub_socket::receive(void* buffer, size_t buffer_size)
{
    static constexpr char signature[] = "bool vorzmq_sub_socket::receive(void*, size_t)";
    if (!socket_ready(context, socket, reset_pending) || filters.empty()) {
        init_if_necessary();
        if (filters.empty()) {
            add_topic("");
        }
    }
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Receive Messages without Valid Socket");
        return false;
    }
    frame message;
    if (!receive_topic_frame(socket, receive_flags, message)) {
        return failed_subscribe_receive(signature, true, receive_timeout_ms, reset_pending);
    }
    // Received whole and copied as far as it fits: the frame tells whether
    // more follow, where zmq_recv would need a ZMQ_RCVMORE query.
    if (!receive_data_frame(socket, receive_flags, message)) {
        return failed_subscribe_receive(signature, false, receive_timeout_ms, reset_pending);
    }
    const size_t size = std::min(zmq_msg_size(&message.message), buffer_size);
    if (size != 0) {
        std::memcpy(buffer, zmq_msg_data(&message.message), size);
    }
    record(vorzmq_result::ok);
    return true;
}

void vorzmq_sub_socket::set_receive_timeout_ms(int32_t milliseconds)
{
    receive_timeout_ms = milliseconds;
}

void vorzmq_sub_socket::set_linger_ms(int32_t milliseconds)
{
    linger_ms = milliseconds;
}

void vorzmq_sub_socket::set_receive_flags(int32_t flags)
{
    receive_flags = flags;
}

// ---------------------------------------------------------------- re-broadcast socket

vorzmq_rebrdcst_socket::vorzmq_rebrdcst_socket(vorzmq_context& owner, const std::string& url)
    : url(url), request_socket(owner, url)
{
}

bool vorzmq_rebrdcst_socket::valid()
{
    return valid_url(url);
}

void vorzmq_rebrdcst_socket::rebrdcst(const std::string& topic, const std::string& data)
{
    static constexpr char signature[] = "void vorzmq_rebrdcst_socket::rebrdcst(const string&, const string&)";
    Json::Value request;
    request["topic"] = topic.empty() ? topic : topic + '$';
    Json::Value parsed;
    if (!parse_json(data, parsed)) {
        record(vorzmq_result::invalid_data);
        LOG4CXX_ERROR(logger, "Invalid JSON Passed for Re-Broadcast: " << data);
        return;
    }
    request["data"] = std::move(parsed);
    std::string text;
    try {
        text = compact_json(request);
    } catch (const std::exception&) {
        record(vorzmq_result::invalid_data);
        LOG4CXX_ERROR(logger, "Invalid JSON Passed for Re-Broadcast: " << data);
        return;
    }
    request_socket.send(text, true);
}

// ---------------------------------------------------------------- poller

struct vorzmq_poller::state {
    enum class kind : uint8_t { request, reply, subscribe };
    struct member {
        kind type;
        void* object;    // the vorzmq socket object
        void* polled;    // its ZeroMQ socket in `items`, or null when left out
        int item;        // its index in `items`, or -1
        bool readable;   // as found by the last wait
    };

    member* find(const void* object)
    {
        for (member& candidate : members) {
            if (candidate.object == object) {
                return &candidate;
            }
        }
        return nullptr;
    }

    void add(kind type, void* object)
    {
        if (find(object) != nullptr) {
            return;
        }
        members.push_back({type, object, nullptr, -1, false});
        // Room for every member now, so that no wait has to allocate.
        items.reserve(members.size());
        changed = true;
    }

    void remove(const void* object)
    {
        const auto found = std::find_if(members.begin(), members.end(),
                                        [object](const member& candidate) { return candidate.object == object; });
        if (found != members.end()) {
            members.erase(found);
            changed = true;
        }
    }

    bool readable(const void* object)
    {
        const member* found = find(object);
        return found != nullptr && found->readable;
    }

    // The poll items are rebuilt only when a member came, went or changed
    // its ZeroMQ socket.
    void rebuild_items()
    {
        items.clear();
        for (member& entry : members) {
            entry.item = -1;
            if (entry.polled != nullptr) {
                entry.item = static_cast<int>(items.size());
                items.push_back({entry.polled, 0, ZMQ_POLLIN, 0});
            }
        }
        changed = false;
    }

    std::vector<member> members;
    std::vector<zmq_pollitem_t> items;
    bool changed = false;
};

namespace {

// How often a wait without limit tries again to create a socket that could
// not be created.
constexpr int32_t socket_retry_ms = 1000;

}  // namespace

vorzmq_poller::vorzmq_poller() : self(new state) {}

vorzmq_poller::~vorzmq_poller()
{
    delete self;
}

void vorzmq_poller::add(vorzmq_request_socket& socket)
{
    self->add(state::kind::request, &socket);
}

void vorzmq_poller::add(vorzmq_reply_socket& socket)
{
    self->add(state::kind::reply, &socket);
}

void vorzmq_poller::add(vorzmq_sub_socket& socket)
{
    self->add(state::kind::subscribe, &socket);
}

void vorzmq_poller::remove(vorzmq_request_socket& socket)
{
    self->remove(&socket);
}

void vorzmq_poller::remove(vorzmq_reply_socket& socket)
{
    self->remove(&socket);
}

void vorzmq_poller::remove(vorzmq_sub_socket& socket)
{
    self->remove(&socket);
}

bool vorzmq_poller::readable(const vorzmq_request_socket& socket) const
{
    return self->readable(&socket);
}

bool vorzmq_poller::readable(const vorzmq_reply_socket& socket) const
{
    return self->readable(&socket);
}

bool vorzmq_poller::readable(const vorzmq_sub_socket& socket) const
{
    return self->readable(&socket);
}

int vorzmq_poller::wait(int32_t timeout_ms)
{
    static constexpr char signature[] = "int vorzmq_poller::wait(int32_t)";
    // The ZeroMQ socket to poll for a member, created first where its
    // receive would create it; null leaves the member out of this wait.
    const auto prepare = [](state::member& entry) -> void* {
        switch (entry.type) {
        case state::kind::request: {
            // Never created here: a request socket has a reply to wait for
            // only after a send, and a broken one is re-created by the next.
            auto& request = *static_cast<vorzmq_request_socket*>(entry.object);
            return request.reset_pending ? nullptr : request.socket;
        }
        // init_if_necessary's first test, inline: it passes on every wait
        // but the first.
        case state::kind::reply: {
            auto& reply = *static_cast<vorzmq_reply_socket*>(entry.object);
            if (!socket_ready(reply.context, reply.socket, reply.reset_pending)) {
                reply.init_if_necessary();
            }
            return reply.socket;
        }
        case state::kind::subscribe: {
            auto& subscriber = *static_cast<vorzmq_sub_socket*>(entry.object);
            if (!socket_ready(subscriber.context, subscriber.socket, subscriber.reset_pending)) {
                subscriber.init_if_necessary();
            }
            if (subscriber.filters.empty()) {
                subscriber.add_topic("");
            }
            return subscriber.socket;
        }
        }
        return nullptr;
    };

    for (;;) {
        bool creation_failed = false;
        for (state::member& entry : self->members) {
            void* const handle = prepare(entry);
            creation_failed = creation_failed || (handle == nullptr && entry.type != state::kind::request);
            if (handle != entry.polled) {
                entry.polled = handle;
                self->changed = true;
            }
        }
        if (self->changed) {
            self->rebuild_items();
        }

        const bool retry = creation_failed && timeout_ms < 0;
        const long pass_timeout_ms = retry ? socket_retry_ms : timeout_ms;
        // Without any socket, poll(2) still waits out the time-out or a
        // signal, where zmq_poll would sleep a fixed time even for -1.
        const int ready = self->items.empty()
                              ? poll(nullptr, 0, static_cast<int>(pass_timeout_ms))
                              : zmq_poll(self->items.data(), static_cast<int>(self->items.size()), pass_timeout_ms);
        const int err = ready < 0 ? zmq_errno() : 0;
        for (state::member& entry : self->members) {
            entry.readable = ready > 0 && entry.item >= 0 && (self->items[entry.item].revents & ZMQ_POLLIN) != 0;
        }
        if (ready > 0) {
            return ready;
        }
        if (ready == 0) {
            if (retry) {
                continue;
            }
            LOG4CXX_TRACE(logger, "No Messages Received Before Timeout: " << timeout_ms << "ms");
            return 0;
        }
        if (err == EINTR) {
            return 0;  // the host's loop looks at its stop flag
        }
        LOG4CXX_ERROR(logger, "Failed to Poll Sockets -- " << zmq_strerror(err));
        record(vorzmq_result::receive_failed, err);
        return -1;
    }
}

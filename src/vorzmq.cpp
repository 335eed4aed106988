// SPDX-License-Identifier: MIT
// libvorzmq: the six socket and context classes and the three free functions.
//
#include "vorzmq.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <locale>
#include <stdexcept>
#include <string_view>

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

constexpr char ok_reply[] = "ok";  // sent with its terminating zero byte
constexpr char ipc_prefix[] = "ipc://";
constexpr size_t ipc_prefix_length = sizeof ipc_prefix - 1;

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
    if (fchmodat(AT_FDCWD, path.c_str(), 0771, AT_SYMLINK_NOFOLLOW) != 0) {
        const int err = errno;
        LOG4CXX_WARN(logger, "Failed to Set Permissions for ZMQ URL: " << url << " -- " << zmq_strerror(err));
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
    socket_option options[2];
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
        LOG4CXX_ERROR(logger, recipe.missing_context);
        return false;
    }
    if (recipe.skip_empty_url && url.empty()) {
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
        return false;
    }

    if (recipe.announce != nullptr) {
        LOG4CXX_DEBUG(logger, recipe.announce << url);
    }
    socket = zmq_socket(context, recipe.type);
    if (socket == nullptr) {
        const int err = zmq_errno();
        if (recipe.init_failure_names_url) {
            LOG4CXX_ERROR(logger, "ZMQ Socket Init Failed -- " << zmq_strerror(err) << " -- " << url);
        } else {
            LOG4CXX_ERROR(logger, "ZMQ Socket Init Failed -- " << zmq_strerror(err));
        }
        return false;
    }
    for (const socket_option& setting : recipe.options) {
        if (zmq_setsockopt(socket, setting.option, &setting.value, sizeof setting.value) != 0) {
            const int err = zmq_errno();
            LOG4CXX_WARN(logger, "Failed to Set Socket " << setting.name << " (" << setting.value << ") -- "
                                                         << zmq_strerror(err));
        }
    }
    const int attached = recipe.binds ? zmq_bind(socket, url.c_str()) : zmq_connect(socket, url.c_str());
    if (attached != 0) {
        const int err = zmq_errno();
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
    return true;
}

bool socket_ready(void* context, void* socket, bool reset_pending)
{
    return context != nullptr && socket != nullptr && !reset_pending;
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
    if (socket_ready(context, socket, reset_pending)) {
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
        LOG4CXX_ERROR(logger, "Failed to Send Message: " << message << " -- " << zmq_strerror(err));
        return;
    }
    if (!expect_ok) {
        return;
    }

    frame reply;
    if (zmq_msg_recv(&reply.message, socket, receive_flags) == -1 ||
        !discard_rest_of_message(socket, reply.more())) {
        const int err = zmq_errno();
        LOG4CXX_ERROR(logger, "Failed to Receive Message Reply -- " << zmq_strerror(err));
        reset_pending = true;
        return;
    }
    const std::string_view text = reply.text();
    if (text == ok_reply) {
        return;
    }
    LOG4CXX_WARN(logger, "Received Unexpected Reply: " << text);
    reset_pending = true;
}

size_t vorzmq_request_socket::receive(void* buffer, size_t buffer_size)
{
    static constexpr char signature[] = "size_t vorzmq_request_socket::receive(void*, size_t)";
    const int size = zmq_recv(socket, buffer, buffer_size, receive_flags);
    if (size == -1 || !discard_rest_of_message(socket)) {
        const int err = zmq_errno();
        LOG4CXX_ERROR(logger, "Failed to Receive Reply -- " << zmq_strerror(err));
        reset_pending = true;
        return 0;
    }
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

// ---------------------------------------------------------------- reply socket

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
    if (socket_ready(context, socket, reset_pending)) {
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
    // The whole request must be read before a REP socket accepts a reply.
    if (zmq_msg_recv(&request.message, socket, receive_flags) == -1 ||
        !discard_rest_of_message(socket, request.more())) {
        const int err = zmq_errno();
        report_failed_receive(signature, err == EAGAIN && receive_timeout_ms >= 0, err, receive_timeout_ms,
                              "No Messages Received Before Timeout: ", "Failed to Receive Message -- ZMQ Error: ",
                              reset_pending);
        return false;
    }
    if (acknowledge) {
        send_ok();
    }
    stream << request.text();
    return true;
}

void vorzmq_reply_socket::send_ok()
{
    static constexpr char signature[] = "void vorzmq_reply_socket::send_ok()";
    if (!sent_whole(zmq_send(socket, ok_reply, sizeof ok_reply, 0), sizeof ok_reply)) {
        const int err = zmq_errno();
        LOG4CXX_ERROR(logger, "Failed to Send OK Response -- " << zmq_strerror(err));
    }
}

void vorzmq_reply_socket::send(const std::string& response)
{
    static constexpr char signature[] = "void vorzmq_reply_socket::send(const string&)";
    if (!sent_whole(zmq_send(socket, response.data(), response.size(), 0), response.size())) {
        const int err = zmq_errno();
        LOG4CXX_ERROR(logger, "Failed to Send Response -- " << zmq_strerror(err));
    }
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
        LOG4CXX_ERROR(logger, "Failed to Send Data -- " << zmq_strerror(err));
        reset_pending = true;
    }
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

// ---------------------------------------------------------------- publish socket

vorzmq_pub_socket::vorzmq_pub_socket(vorzmq_context& owner, const std::string& url)
    : url(url), high_water_mark(16), linger_ms(1000), context(owner.context), socket(nullptr),
      reset_pending(false)
{
    announce_socket("vorzmq_pub_socket::vorzmq_pub_socket(vorzmq_context&, const string&)",
                    "Initializing ZMQ Publish Socket: ", url, context);
}

vorzmq_pub_socket::~vorzmq_pub_socket()
{
    if (socket != nullptr) {
        zmq_unbind(socket, url.c_str());
        close_socket(socket);
    }
}

bool vorzmq_pub_socket::valid()
{
    return valid_url(url);
}

void vorzmq_pub_socket::init_if_necessary()
{
    if (socket_ready(context, socket, reset_pending)) {
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
                               {{ZMQ_SNDHWM, high_water_mark, "High Water Mark"}, {ZMQ_LINGER, linger_ms, "Linger"}},
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
    const int sent = send_topic_frame(socket, topic, terminated);
    if (sent == -1) {
        const int err = zmq_errno();
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
    if (zmq_send(socket, data.c_str(), data.size() + 1, ZMQ_DONTWAIT) == -1) {
        const int err = zmq_errno();
        if (err == EAGAIN) {
            LOG4CXX_WARN(logger, "Failed to Publish Message: " << data << " -- ZMQ Error: " << zmq_strerror(err));
        } else {
            LOG4CXX_ERROR(logger, "Failed to Publish Message: " << data << " -- ZMQ Error: " << zmq_strerror(err)
                                                                << " -- Closing Socket on Unexpected Error");
            reset_pending = true;
        }
    }
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
    if (socket_ready(context, socket, reset_pending)) {
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
    init_if_necessary();
    if (filters.empty()) {
        add_topic("");
    }
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Receive Request without Valid Socket");
        return false;
    }
    frame topic;
    if (!receive_topic_frame(socket, receive_flags, topic)) {
        const int err = zmq_errno();
        report_failed_receive(signature, err == EAGAIN, err, receive_timeout_ms,
                              "No Message Topic Received Before Timeout: ",
                              "Failed to Receive Message Topic -- ZMQ Error: ", reset_pending);
        return false;
    }
    frame data;
    if (zmq_msg_recv(&data.message, socket, receive_flags) == -1 || !discard_rest_of_message(socket, data.more())) {
        const int err = zmq_errno();
        report_failed_receive(signature, err == EAGAIN, err, receive_timeout_ms, "No Messages Received Before Timeout: ",
                              "Failed to Receive Message -- ZMQ Error: ", reset_pending);
        return false;
    }
    stream << data.text();
    return true;
}

bool vorzmq_sub_socket::receive(void* buffer, size_t buffer_size)
{
    static constexpr char signature[] = "bool vorzmq_sub_socket::receive(void*, size_t)";
    init_if_necessary();
    if (filters.empty()) {
        add_topic("");
    }
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Receive Messages without Valid Socket");
        return false;
    }
    frame topic;
    if (!receive_topic_frame(socket, receive_flags, topic)) {
        const int err = zmq_errno();
        report_failed_receive(signature, err == EAGAIN, err, receive_timeout_ms,
                              "No Message Topic Received Before Timeout: ",
                              "Failed to Receive Message Topic -- ZMQ Error: ", reset_pending);
        return false;
    }
    if (zmq_recv(socket, buffer, buffer_size, receive_flags) == -1 || !discard_rest_of_message(socket)) {
        const int err = zmq_errno();
        report_failed_receive(signature, err == EAGAIN, err, receive_timeout_ms, "No Messages Received Before Timeout: ",
                              "Failed to Receive Message -- ZMQ Error: ", reset_pending);
        return false;
    }
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
        LOG4CXX_ERROR(logger, "Invalid JSON Passed for Re-Broadcast: " << data);
        return;
    }
    request["data"] = std::move(parsed);
    std::string text;
    try {
        text = compact_json(request);
    } catch (const std::exception&) {
        LOG4CXX_ERROR(logger, "Invalid JSON Passed for Re-Broadcast: " << data);
        return;
    }
    request_socket.send(text, true);
}

// SPDX-License-Identifier: MIT
// Request/reply: the request socket with its fixed OK acknowledgement, the
// reply socket, and the re-broadcast client that sends JSON requests.
#include <cerrno>
#include <exception>

#include <json/value.h>
#include <zmq.h>

#include "curve.h"
#include "frame.h"
#include "json_text.h"
#include "lifecycle.h"
#include "logging.h"
#include "outcome.h"

using namespace vorzmq::internal;

namespace {

constexpr char ok_reply[] = "ok";  // sent with its terminating zero byte

constexpr socket_kind request_kind{
    .constructor_signature = "vorzmq_request_socket::vorzmq_request_socket(vorzmq_context&, const string&)",
    .constructed = "Initializing ZMQ Request Socket: {endpoint}",
    .setup_signature = "void vorzmq_request_socket::init_if_necessary()",
    .type = ZMQ_REQ,
    .binds = false,
    .created_by_receive = false,  // a reply is awaited only after a send
    .needs_url = true,
    .missing_context = "Cannot Create ZMQ Request Socket without Valid Context",
    .closing = "Closing Request Socket: {endpoint}",
    .creating = nullptr,
    .creation_failed = "ZMQ Socket Init Failed -- {error}",
    .attach_failed = "Failed to Connect to ZMQ URL: {endpoint} -- {error} -- Closing Socket",
    .pause_after_failed_attach_s = 0,
    .options = {{{ZMQ_RCVTIMEO, "Timeout", &socket_handle::receive_timeout_ms, 0},
                 {ZMQ_LINGER, "Linger", &socket_handle::linger_ms, 0}}},
};

constexpr socket_kind reply_kind{
    .constructor_signature = "vorzmq_reply_socket::vorzmq_reply_socket(vorzmq_context&, const string&)",
    .constructed = "Initializing ZMQ Socket: {endpoint}",
    .setup_signature = "void vorzmq_reply_socket::init_if_necessary()",
    .type = ZMQ_REP,
    .binds = true,
    .created_by_receive = true,
    .needs_url = false,
    .missing_context = "Cannot Create ZMQ Socket without Valid Context",
    .closing = "Closing Socket",
    .creating = nullptr,
    .creation_failed = "ZMQ Socket Init Failed -- {error}",
    .attach_failed = "Failed to Bind to ZMQ URL: {endpoint} -- {error} -- Closing Socket",
    .pause_after_failed_attach_s = 5,  // a server in a retry loop does not spin on a taken endpoint
    .options = {{{ZMQ_RCVTIMEO, "Timeout", &socket_handle::receive_timeout_ms, 0},
                 {ZMQ_LINGER, "Linger", &socket_handle::linger_ms, 0}}},
};

// A request reported as refused or unanswered must never arrive later: its
// socket goes at once with nothing left to send, rather than lingering and
// connecting again (a server that starts, or admits the client, would then
// get it). The reset that follows still logs the closing.
void abandon_exchange(const void* object, void*& socket)
{
    const int no_linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &no_linger, sizeof no_linger);
    close_object_socket(object, socket);
}

// Reads one request, its extra frames dropped: the whole request must be read
// before a REP socket accepts a reply. A failure is recorded and logged.
bool receive_request(const char* signature, socket_handle& self, frame& request)
{
    if (zmq_msg_recv(&request.message, self.socket, self.receive_flags) == -1 ||
        !discard_rest_of_message(self.socket, request.more())) {
        const int err = zmq_errno();
        report_failed_receive(signature, self, message_receive, err == EAGAIN && self.receive_timeout_ms >= 0, err);
        return false;
    }
    return true;
}

}  // namespace

socket_handle vorzmq_socket_access::handle(vorzmq_request_socket& socket)
{
    return {request_kind,          socket.url,       socket.context,   socket.socket, socket.reset_pending,
            socket.receive_timeout_ms, socket.receive_flags, socket.linger_ms, 0,             nullptr, &socket};
}

socket_handle vorzmq_socket_access::handle(vorzmq_reply_socket& socket)
{
    return {reply_kind,            socket.url,       socket.context,   socket.socket, socket.reset_pending,
            socket.receive_timeout_ms, socket.receive_flags, socket.linger_ms, 0,             nullptr, &socket};
}

// ---------------------------------------------------------------- request socket

vorzmq_request_socket::vorzmq_request_socket(vorzmq_context& owner, const std::string& url)
    : url(url), receive_timeout_ms(1000), linger_ms(1000), receive_flags(0), context(owner.context),
      socket(nullptr), reset_pending(false)
{
    announce_socket(vorzmq_socket_access::handle(*this));
}

vorzmq_request_socket::~vorzmq_request_socket()
{
    close_on_destruction(this, context, "vorzmq_request_socket::~vorzmq_request_socket()", socket);
}

void vorzmq_request_socket::init_if_necessary()
{
    socket_handle self = vorzmq_socket_access::handle(*this);
    set_up(self);
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
        if (note_interrupted_send(signature, err)) {
            return;
        }
        record(vorzmq_result::not_sent, err);
        LOG4CXX_ERROR(logger, "Failed to Send Message: " << message << " -- " << zmq_strerror(err));
        // A REQ socket that refused a send (EFSM: a reply never read) would
        // refuse every later one: the next send starts afresh.
        reset_pending = true;
        return;
    }
    if (!expect_ok) {
        record(vorzmq_result::ok);
        return;
    }

    frame reply;
    const int flags = wait_for_reply_or_refusal(this, socket, receive_flags, receive_timeout_ms);
    if (receive_waiting_through_signals(&reply.message, socket, flags, receive_timeout_ms) == -1 ||
        !discard_rest_of_message(socket, reply.more())) {
        const int err = zmq_errno();
        reset_pending = true;
        if (err == EAGAIN && report_curve_refusal(signature, this, socket, url, "Request Refused by the Server: ")) {
            abandon_exchange(this, socket);
            return;
        }
        record_failed_receive(err == EAGAIN, err);
        LOG4CXX_ERROR(logger, "Failed to Receive Message Reply -- " << zmq_strerror(err));
        if (err == EAGAIN) {
            abandon_exchange(this, socket);
        }
        return;
    }
    const std::string_view text = reply.text();
    if (text == ok_reply) {
        record(vorzmq_result::ok);
        return;
    }
    record(vorzmq_result::unexpected_reply);
    LOG4CXX_WARN(logger, "Received Unexpected Reply: " << loggable(text));
    reset_pending = true;
}

namespace {

[[gnu::cold]] void report_failed_reply_receive(const char* signature, const void* object, void* socket,
                                               const std::string& url, bool& reset_pending)
{
    const int err = zmq_errno();
    if (err == EAGAIN && report_curve_refusal(signature, object, socket, url, "Request Refused by the Server: ")) {
        reset_pending = true;
        return;
    }
    record_failed_receive(err == EAGAIN, err);
    if (err == EINTR) {
        // The reply is still to come: the next receive takes it.
        LOG4CXX_TRACE(logger, receive_interrupted);
        return;
    }
    LOG4CXX_ERROR(logger, "Failed to Receive Reply -- " << zmq_strerror(err));
    reset_pending = true;
}

}  // namespace

size_t vorzmq_request_socket::receive(void* buffer, size_t buffer_size)
{
    static constexpr char signature[] = "size_t vorzmq_request_socket::receive(void*, size_t)";
    const int size =
        zmq_recv(socket, buffer, buffer_size, wait_for_reply_or_refusal(this, socket, receive_flags, receive_timeout_ms));
    if (size == -1 || !discard_rest_of_message(socket)) {
        report_failed_reply_receive(signature, this, socket, url, reset_pending);
        return 0;
    }
    if (static_cast<size_t>(size) > buffer_size) {
        record(vorzmq_result::truncated, EMSGSIZE);
        LOG4CXX_WARN(logger, "Insufficient Buffer Size (" << buffer_size << " < " << size << ") -- Repy Truncated");
        return buffer_size;
    }
    record(vorzmq_result::ok);
    return static_cast<size_t>(size);
}

bool vorzmq_request_socket::receive(std::string& reply)
{
    static constexpr char signature[] = "bool vorzmq_request_socket::receive(string&)";
    frame message;
    if (zmq_msg_recv(&message.message, socket, wait_for_reply_or_refusal(this, socket, receive_flags, receive_timeout_ms)) == -1 ||
        !discard_rest_of_message(socket, message.more())) {
        report_failed_reply_receive(signature, this, socket, url, reset_pending);
        return false;
    }
    record(vorzmq_result::ok);
    reply.assign(message.data(), message.size());
    return true;
}

bool vorzmq_request_socket::valid()
{
    return valid_url(url);
}

void vorzmq_request_socket::set_receive_timeout_ms(int32_t milliseconds)
{
    receive_timeout_ms = milliseconds;
    apply_setting("void vorzmq_request_socket::set_receive_timeout_ms(int32_t)",
                  vorzmq_socket_access::handle(*this), ZMQ_RCVTIMEO);
}

// ---------------------------------------------------------------- reply socket

vorzmq_reply_socket::vorzmq_reply_socket(vorzmq_context& owner, const std::string& url)
    : url(url), receive_timeout_ms(1000), linger_ms(1000), receive_flags(0), context(owner.context),
      socket(nullptr), reset_pending(false)
{
    announce_socket(vorzmq_socket_access::handle(*this));
}

vorzmq_reply_socket::~vorzmq_reply_socket()
{
    close_on_destruction(this, context, "vorzmq_reply_socket::~vorzmq_reply_socket()", socket);
}

void vorzmq_reply_socket::init_if_necessary()
{
    socket_handle self = vorzmq_socket_access::handle(*this);
    set_up(self);
}

bool vorzmq_reply_socket::receive(std::stringstream& stream, bool acknowledge)
{
    static constexpr char signature[] = "bool vorzmq_reply_socket::receive(std::stringstream&, bool)";
    socket_handle self = vorzmq_socket_access::handle(*this);
    set_up(self);
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Receive Request without Valid Socket");
        return false;
    }
    frame request;
    if (!receive_request(signature, self, request)) {
        return false;
    }
    if (request.cut()) {
        // Acknowledged, a cut request would count as delivered. It gets an
        // empty reply, which keeps the socket ready for the next request.
        LOG4CXX_WARN(logger, "Refused Over-Long Request -- " << request.size() << " bytes");
        send(std::string());
        record(vorzmq_result::receive_failed, EMSGSIZE);
        return false;
    }
    record(vorzmq_result::ok);
    if (acknowledge) {
        send_ok();
    }
    append_text(stream, request);
    return true;
}

bool vorzmq_reply_socket::receive(std::string& request, bool acknowledge)
{
    static constexpr char signature[] = "bool vorzmq_reply_socket::receive(string&, bool)";
    socket_handle self = vorzmq_socket_access::handle(*this);
    set_up(self);
    if (socket == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Receive Request without Valid Socket");
        return false;
    }
    frame message;
    if (!receive_request(signature, self, message)) {
        return false;
    }
    record(vorzmq_result::ok);
    if (acknowledge) {
        send_ok();
    }
    request.assign(message.data(), message.size());
    return true;
}

void vorzmq_reply_socket::send_ok()
{
    static constexpr char signature[] = "void vorzmq_reply_socket::send_ok()";
    if (!sent_whole(zmq_send(socket, ok_reply, sizeof ok_reply, 0), sizeof ok_reply)) {
        const int err = zmq_errno();
        if (note_interrupted_send(signature, err)) {
            return;
        }
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
        if (note_interrupted_send(signature, err)) {
            return;
        }
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
        if (note_interrupted_send(signature, err)) {
            return;
        }
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

void vorzmq_reply_socket::send(const char* response)
{
    static constexpr char signature[] = "void vorzmq_reply_socket::send(const char*)";
    if (response == nullptr) {
        record(vorzmq_result::not_sent, EINVAL);
        LOG4CXX_ERROR(logger, "Failed to Send Response -- No Text Given");
        return;
    }
    send(std::string(response));
}

void vorzmq_reply_socket::set_receive_timeout_ms(int32_t milliseconds)
{
    receive_timeout_ms = milliseconds;
    apply_setting("void vorzmq_reply_socket::set_receive_timeout_ms(int32_t)",
                  vorzmq_socket_access::handle(*this), ZMQ_RCVTIMEO);
}

void vorzmq_reply_socket::set_linger_ms(int32_t milliseconds)
{
    linger_ms = milliseconds;
    apply_setting("void vorzmq_reply_socket::set_linger_ms(int32_t)",
                  vorzmq_socket_access::handle(*this), ZMQ_LINGER);
}

void vorzmq_reply_socket::set_receive_flags(int32_t flags)
{
    receive_flags = flags;
}

std::string vorzmq_reply_socket::last_endpoint() const
{
    return bound_endpoint(socket);
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

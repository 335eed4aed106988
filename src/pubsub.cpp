// SPDX-License-Identifier: MIT
// Publish/subscribe: a message is a topic frame (the topic and its "$") and
// a data frame (the text and its zero byte).
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <zmq.h>

#include "curve.h"
#include "frame.h"
#include "lifecycle.h"
#include "logging.h"
#include "outcome.h"

using namespace vorzmq::internal;

namespace {

constexpr socket_kind publish_kind{
    .constructor_signature = "vorzmq_pub_socket::vorzmq_pub_socket(vorzmq_context&, const string&)",
    .constructed = "Initializing ZMQ Publish Socket: {endpoint}",
    .setup_signature = "void vorzmq_pub_socket::init_if_necessary()",
    .type = ZMQ_PUB,
    .binds = true,
    .created_by_receive = false,
    .needs_url = false,
    .missing_context = "Cannot Create ZMQ Socket without Valid Context",
    .closing = "Closing Socket: {endpoint}",
    .creating = nullptr,
    .creation_failed = "ZMQ Socket Init Failed -- {error} -- {endpoint}",
    .attach_failed = "Failed to Bind ZMQ URL: {endpoint} -- {error} -- Closing Socket",
    .pause_after_failed_attach_s = 0,
    .options = {{{ZMQ_SNDHWM, "High Water Mark", &socket_handle::high_water_mark, 0},
                 {ZMQ_LINGER, "Linger", &socket_handle::linger_ms, 0},
                 {ZMQ_XPUB_NODROP, "No Drop", nullptr, 1}}},
};

constexpr socket_kind subscribe_kind{
    .constructor_signature = "vorzmq_sub_socket::vorzmq_sub_socket(vorzmq_context&, const string&)",
    .constructed = "Initializing ZMQ Subscribe Socket: {endpoint}",
    .setup_signature = "void vorzmq_sub_socket::init_if_necessary()",
    .type = ZMQ_SUB,
    .binds = false,
    .created_by_receive = true,
    .needs_url = false,
    .missing_context = "Cannot Create ZMQ Socket without Valid Context",
    .closing = "Closing Socket",
    .creating = "Initializing Sub Socket to: {endpoint}",
    .creation_failed = "ZMQ Socket Init Failed -- {error}",
    .attach_failed = "Failed to Connect to ZMQ URL: {endpoint} -- {error} -- Closing Socket",
    .pause_after_failed_attach_s = 0,
    .options = {{{ZMQ_RCVTIMEO, "Timeout", &socket_handle::receive_timeout_ms, 0},
                 {ZMQ_LINGER, "Linger", &socket_handle::linger_ms, 0}}},
};

constexpr receive_texts topic_receive{"No Message Topic Received Before Timeout: ",
                                      "Failed to Receive Message Topic -- ZMQ Error: "};

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

// After a message of one frame only, which carries no data and is dropped:
// what is queued is read without waiting, and the wait goes on only for
// what is left of the receive's time-out, so that a peer sending such
// messages cannot hold a receive past its deadline. With no time-out the
// receive ends at once, as a receive that found nothing (a poller that
// found the socket readable must not block on it).
[[gnu::cold]] [[gnu::noinline]] bool skip_one_frame_messages(const socket_handle& self, frame& topic)
{
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    const bool waits = (self.receive_flags & ZMQ_DONTWAIT) == 0 && self.receive_timeout_ms > 0;
    const auto deadline = steady_clock::now() + milliseconds(self.receive_timeout_ms);
    for (;;) {
        while (zmq_msg_recv(&topic.message, self.socket, ZMQ_DONTWAIT) != -1) {
            if (topic.more()) {
                return true;
            }
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        if (zmq_errno() != EAGAIN || !waits || left.count() <= 0) {
            return false;  // errno from the last receive: EAGAIN reads as a time-out
        }
        zmq_pollitem_t item{self.socket, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, left.count()) == -1) {
            return false;
        }
    }
}

// Reads the next message up to its topic frame.
bool receive_topic_frame(const socket_handle& self, frame& topic)
{
    if (zmq_msg_recv(&topic.message, self.socket, self.receive_flags) == -1) {
        return false;
    }
    return topic.more() || skip_one_frame_messages(self, topic);
}

// Reads a message's data frame, dropping any frame after it.
bool receive_data_frame(const socket_handle& self, frame& data)
{
    return receive_next_part(&data.message, self.socket, self.receive_flags) != -1 &&
           discard_rest_of_message(self.socket, data.more());
}

// The set-up and the failures of a subscribe receive take the handle out of
// line, so that the path of a received message only reads the object.
// Returns false, after a wait of at most the receive's time-out, while a
// refused subscriber pauses before its next handshake: a new socket after
// every refused receive would hammer the server.
[[gnu::cold]] [[gnu::noinline]] bool prepare_to_receive(vorzmq_sub_socket& object)
{
    static constexpr char signature[] = "void vorzmq_sub_socket::init_if_necessary()";
    socket_handle self = vorzmq_socket_access::handle(object);
    if (self.reset_pending) {
        const long pause = refusal_pause_left_ms(&object);
        if (pause > 0) {
            const bool waits = (self.receive_flags & ZMQ_DONTWAIT) == 0;
            const long wait = !waits                      ? 0
                              : self.receive_timeout_ms < 0 ? pause
                                                            : std::min<long>(pause, self.receive_timeout_ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
            record(vorzmq_result::refused, EPROTO);
            LOG4CXX_TRACE(logger, "Subscription Refused by the Server: " << self.url << " -- Next Attempt in "
                                                                        << pause << "ms");
            return false;
        }
    }
    socket_for_receive(self);
    return true;
}

[[gnu::cold]] [[gnu::noinline]] bool failed_subscribe_receive(const char* signature, vorzmq_sub_socket& object,
                                                                const receive_texts& texts)
{
    const int err = zmq_errno();
    socket_handle self = vorzmq_socket_access::handle(object);
    // A refused subscriber is never connected again by libzmq: a new socket is.
    if (err == EAGAIN && report_curve_refusal(signature, &object, self.socket, self.url,
                                                 "Subscription Refused by the Server: ")) {
        self.reset_pending = true;
        return false;
    }
    report_failed_receive(signature, self, texts, err == EAGAIN, err);
    return false;
}

// Whether the subscriber has a socket to receive from, after creating it and
// subscribing to every topic where nothing was asked for; logged when not.
// Inline, as the rest of a received message's path.
[[gnu::always_inline]] inline bool ready_to_receive(const char* signature, vorzmq_sub_socket& object,
                                                    const char* no_socket_text)
{
    const socket_handle self = vorzmq_socket_access::handle(object);
    if ((!socket_ready(self) || self.filters->empty()) && !prepare_to_receive(object)) {
        return false;
    }
    if (self.socket == nullptr) {
        LOG4CXX_ERROR(logger, no_socket_text);
        return false;
    }
    return true;
}

// Reads a whole message into `topic` and `message`: one frame serves for
// both where the topic is not wanted, each receive releasing what it held.
[[gnu::always_inline]] inline bool receive_message(const char* signature, vorzmq_sub_socket& object, frame& topic,
                                                   frame& message)
{
    const socket_handle self = vorzmq_socket_access::handle(object);
    if (!receive_topic_frame(self, topic)) {
        return failed_subscribe_receive(signature, object, topic_receive);
    }
    if (!receive_data_frame(self, message)) {
        return failed_subscribe_receive(signature, object, message_receive);
    }
    record(vorzmq_result::ok);
    return true;
}

// The topic as published: the topic frame without the one "$" its
// publisher added.
inline void assign_topic(std::string& topic, frame& topic_frame)
{
    size_t size = topic_frame.size();
    if (size > 0 && topic_frame.data()[size - 1] == '$') {
        --size;
    }
    topic.assign(topic_frame.data(), size);
}

// A receive that delivers part of the data still returns true; the WARN
// and the outcome tell the host that something is missing.
[[gnu::cold]] [[gnu::noinline]] void note_cut(const char* signature, size_t delivered, size_t size)
{
    record(vorzmq_result::truncated, EMSGSIZE);
    LOG4CXX_WARN(logger, "Insufficient Buffer Size (" << delivered << " < " << size << ") -- Message Truncated");
}

inline void note_if_text_cut(const char* signature, frame& data)
{
    if (data.size() > longest_text && data.cut()) [[unlikely]] {
        note_cut(signature, longest_text, data.size());
    }
}

}  // namespace

socket_handle vorzmq_socket_access::handle(vorzmq_pub_socket& socket)
{
    return {publish_kind, socket.url, socket.context, socket.socket, socket.reset_pending, 0, 0, socket.linger_ms,
            socket.high_water_mark, nullptr, &socket};
}

socket_handle vorzmq_socket_access::handle(vorzmq_sub_socket& socket)
{
    return {subscribe_kind,        socket.url,       socket.context,   socket.socket, socket.reset_pending,
            socket.receive_timeout_ms, socket.receive_flags, socket.linger_ms, 0,             &socket.filters, &socket};
}

namespace vorzmq::internal {

// A subscription filter that libzmq refuses leaves the socket closed, so that
// the next operation starts afresh with every recorded filter.
bool set_filter(socket_handle& handle, const std::string& filter, const char* signature)
{
    if (handle.socket == nullptr) {
        return false;  // the failed set-up told why; the next socket gets the filter
    }
    if (zmq_setsockopt(handle.socket, ZMQ_SUBSCRIBE, filter.data(), filter.size()) == 0) {
        return true;
    }
    const int err = zmq_errno();
    record(vorzmq_result::no_socket, err);
    LOG4CXX_ERROR(logger, "Failed to Set Socket Message Filter -- " << zmq_strerror(err) << " -- Closing Socket");
    zmq_disconnect(handle.socket, handle.url.c_str());
    close_object_socket(handle.object, handle.socket);
    return false;
}

void add_filter(socket_handle& handle, const std::string& topic, bool exact_match)
{
    set_up(handle);
    add_filter_to_current_socket(handle, topic, exact_match);
}

void add_filter_to_current_socket(socket_handle& handle, const std::string& topic, bool exact_match)
{
    static constexpr char signature[] = "void vorzmq_sub_socket::add_topic(const string&, bool)";
    std::string filter = topic;
    if (!topic.empty() && exact_match) {
        filter += '$';
    }
    LOG4CXX_DEBUG(logger, "Adding Topic " << filter << " for URL: " << handle.url);
    // Recorded even when it cannot be set now: the next socket gets it.
    handle.filters->push_back(std::move(filter));
    set_filter(handle, handle.filters->back(), signature);
}

}  // namespace vorzmq::internal

// ---------------------------------------------------------------- publish socket

vorzmq_pub_socket::vorzmq_pub_socket(vorzmq_context& owner, const std::string& url)
    : url(url), high_water_mark(16), linger_ms(1000), context(owner.context), socket(nullptr),
      reset_pending(false)
{
    announce_socket(vorzmq_socket_access::handle(*this));
}

// Closed without an unbind: libzmq's unbind also ends the connections
// accepted on the endpoint, with the messages still queued for them, which
// would defeat the linger. The close alone releases the endpoint too.
vorzmq_pub_socket::~vorzmq_pub_socket()
{
    note_object_gone(context);
    if (socket != nullptr) {
        close_socket(socket);
    }
    forget_curve(this);
}

void vorzmq_pub_socket::set_high_water_mark(int32_t messages)
{
    high_water_mark = messages;
    apply_setting("void vorzmq_pub_socket::set_high_water_mark(int32_t)",
                  vorzmq_socket_access::handle(*this), ZMQ_SNDHWM);
}

void vorzmq_pub_socket::set_linger_ms(int32_t milliseconds)
{
    linger_ms = milliseconds;
    apply_setting("void vorzmq_pub_socket::set_linger_ms(int32_t)",
                  vorzmq_socket_access::handle(*this), ZMQ_LINGER);
}

bool vorzmq_pub_socket::valid()
{
    return valid_url(url);
}

void vorzmq_pub_socket::init_if_necessary()
{
    socket_handle self = vorzmq_socket_access::handle(*this);
    set_up(self);
}

void vorzmq_pub_socket::send(const std::string& topic, const std::string& data)
{
    static constexpr char signature[] = "void vorzmq_pub_socket::send(const string&, const string&)";
    // init_if_necessary's first test, inline: a publication is short enough
    // for one more call to show.
    if (context == nullptr || socket == nullptr || reset_pending) {
        init_if_necessary();
        if (socket == nullptr) {
            return;  // the failed set-up told why
        }
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
        if (dropped) {
            allow_drops(socket, false);
        }
        if (note_interrupted_send(signature, err)) {
            return;  // nothing of the message went out
        }
        record_failed_publish(socket, err);
        if (err == EAGAIN) {
            LOG4CXX_WARN(logger, "Failed to Publish Message Topic: " << loggable(topic + terminator)
                                                                     << " -- ZMQ Error: " << zmq_strerror(err));
        } else {
            LOG4CXX_ERROR(logger, "Failed to Publish Message Topic: " << loggable(topic + terminator) << " -- ZMQ Error: "
                                                                      << zmq_strerror(err)
                                                                      << " -- Closing Socket on Unexpected Error");
            reset_pending = true;
        }
        return;
    }

    // c_str() ends in the zero byte that the data frame carries. The topic
    // frame has gone out, so a signal must not leave the message half-sent.
    while ((sent = zmq_send(socket, data.c_str(), data.size() + 1, ZMQ_DONTWAIT)) == -1 && zmq_errno() == EINTR) {
    }
    if (dropped) {
        const int err = zmq_errno();
        allow_drops(socket, false);
        LOG4CXX_WARN(logger, "Failed to Publish Message Topic: " << loggable(topic + terminator)
                                                                 << " -- ZMQ Error: " << zmq_strerror(EAGAIN));
        errno = err;
    }
    if (sent == -1) {
        const int err = zmq_errno();
        record_failed_publish(socket, err);
        if (err == EAGAIN) {
            LOG4CXX_WARN(logger, "Failed to Publish Message: " << loggable(data) << " -- ZMQ Error: " << zmq_strerror(err));
        } else {
            LOG4CXX_ERROR(logger, "Failed to Publish Message: " << loggable(data) << " -- ZMQ Error: " << zmq_strerror(err)
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

vorzmq_sub_socket::vorzmq_sub_socket(vorzmq_context& owner, const std::string& url)
    : url(url), receive_timeout_ms(-1), linger_ms(1000), receive_flags(0), context(owner.context),
      socket(nullptr), reset_pending(false)
{
    announce_socket(vorzmq_socket_access::handle(*this));
}

vorzmq_sub_socket::~vorzmq_sub_socket()
{
    close_on_destruction(this, context, "vorzmq_sub_socket::~vorzmq_sub_socket()", socket);
}

void vorzmq_sub_socket::init_if_necessary()
{
    socket_handle self = vorzmq_socket_access::handle(*this);
    set_up(self);
}

void vorzmq_sub_socket::add_topic(const std::string& topic, bool exact_match)
{
    socket_handle self = vorzmq_socket_access::handle(*this);
    add_filter(self, topic, exact_match);
}

void vorzmq_sub_socket::add_topic(const std::string& topic)
{
    add_topic(topic, true);
}

bool vorzmq_sub_socket::receive(std::stringstream& stream)
{
    static constexpr char signature[] = "bool vorzmq_sub_socket::receive(std::stringstream&)";
    if (!ready_to_receive(signature, *this, "Cannot Receive Request without Valid Socket")) {
        return false;
    }
    frame message;
    if (!receive_message(signature, *this, message, message)) {
        return false;
    }
    append_text(stream, message);
    note_if_text_cut(signature, message);
    return true;
}

bool vorzmq_sub_socket::receive(std::stringstream& stream, std::string& topic)
{
    static constexpr char signature[] = "bool vorzmq_sub_socket::receive(std::stringstream&, string&)";
    if (!ready_to_receive(signature, *this, "Cannot Receive Request without Valid Socket")) {
        return false;
    }
    frame topic_frame;
    frame data;
    if (!receive_message(signature, *this, topic_frame, data)) {
        return false;
    }
    assign_topic(topic, topic_frame);
    append_text(stream, data);
    note_if_text_cut(signature, data);
    return true;
}

bool vorzmq_sub_socket::receive(std::string& data, std::string& topic)
{
    static constexpr char signature[] = "bool vorzmq_sub_socket::receive(string&, string&)";
    if (!ready_to_receive(signature, *this, "Cannot Receive Messages without Valid Socket")) {
        return false;
    }
    frame topic_frame;
    frame data_frame;
    if (!receive_message(signature, *this, topic_frame, data_frame)) {
        return false;
    }
    assign_topic(topic, topic_frame);
    // Without the zero byte that a publish socket ends every data frame with.
    size_t size = data_frame.size();
    if (size > 0 && data_frame.data()[size - 1] == '\0') {
        --size;
    }
    data.assign(data_frame.data(), size);
    return true;
}

bool vorzmq_sub_socket::receive(void* buffer, size_t buffer_size)
{
    static constexpr char signature[] = "bool vorzmq_sub_socket::receive(void*, size_t)";
    if (!ready_to_receive(signature, *this, "Cannot Receive Messages without Valid Socket")) {
        return false;
    }
    // Received whole and copied as far as it fits: the frame tells whether
    // more follow, where zmq_recv would need a ZMQ_RCVMORE query.
    frame message;
    if (!receive_message(signature, *this, message, message)) {
        return false;
    }
    const size_t size = std::min(message.size(), buffer_size);
    if (size != 0) {
        std::memcpy(buffer, message.data(), size);
    }
    if (size < message.size()) {
        note_cut(signature, buffer_size, message.size());
    }
    return true;
}

void vorzmq_sub_socket::set_receive_timeout_ms(int32_t milliseconds)
{
    receive_timeout_ms = milliseconds;
    apply_setting("void vorzmq_sub_socket::set_receive_timeout_ms(int32_t)",
                  vorzmq_socket_access::handle(*this), ZMQ_RCVTIMEO);
}

void vorzmq_sub_socket::set_linger_ms(int32_t milliseconds)
{
    linger_ms = milliseconds;
    apply_setting("void vorzmq_sub_socket::set_linger_ms(int32_t)",
                  vorzmq_socket_access::handle(*this), ZMQ_LINGER);
}

void vorzmq_sub_socket::set_receive_flags(int32_t flags)
{
    receive_flags = flags;
}

// SPDX-License-Identifier: MIT
// libvorzmq: request/reply, publish/subscribe and re-broadcast over ZeroMQ.
//
// Conventions shared by every class below:
// - The host defines the global `logger` and points it at a log4cxx logger
//   before constructing any object; every diagnostic goes through it.
// - Sockets are lazy: a constructor only records the endpoint. The first
//   operation that needs a socket creates, configures and connects (request,
//   subscribe) or binds (reply, publish) it.
// - After an unexpected failure an object marks itself; its next operation
//   logs a warning, closes the old ZeroMQ socket and starts afresh.
// - Only constructors and build_request_response_url throw. Every other
//   failure is logged and shown through a result and vorzmq_last_result().
// - One object is used by one thread at a time. Destroy every socket object
//   before the context it was made from.
#ifndef VORZMQ_H
#define VORZMQ_H

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <json/value.h>
#include <log4cxx/logger.h>

// The one source of the version: CMake reads these three lines.
#define VORZMQ_VERSION_MAJOR 1
#define VORZMQ_VERSION_MINOR 3
#define VORZMQ_VERSION_PATCH 0

// The library is built with hidden visibility; only what is marked here is
// exported.
#define VORZMQ_API __attribute__((visibility("default")))

// Defined by the host program; the library only refers to it.
extern log4cxx::LoggerPtr logger;

// The outcome of this thread's last socket operation, in the manner of
// errno: each call listed below overwrites it, nothing else touches it, and
// every thread has its own. It is set by
// - init_if_necessary of every class: `ok` when a socket is ready, else
//   `no_socket` (no context, an empty request URL, or a socket that could
//   not be created, configured with a filter, connected or bound);
// - vorzmq_request_socket::send: `no_socket`, `not_sent`, `interrupted`
//   (nothing sent), then with
//   `expect_ok` `no_reply` (nothing within the timeout), `refused` (a
//   CURVE client whose handshake failed: see set_curve_client), `receive_failed`,
//   `unexpected_reply` or `ok`; without `expect_ok` `ok` once sent;
// - vorzmq_request_socket::receive: `ok`, `truncated` (the reply did not
//   fit the buffer), `no_reply`, `refused`, `interrupted` or
//   `receive_failed`;
// - vorzmq_reply_socket::receive and every vorzmq_sub_socket::receive form:
//   `ok`, `truncated` (a subscribe receive that delivered only part of the
//   data: a buffer too small, or text cut at 4 MiB), `no_socket`,
//   `no_reply` (timeout), `refused` (a subscribe receive of a CURVE
//   client whose handshake failed), `interrupted` or `receive_failed`; a
//   reply receive with `acknowledge` then leaves what its send_ok set;
// - the vorzmq_reply_socket replies: `ok`, `interrupted` (still owed) or
//   `not_sent` (`no_socket` from the binding one);
// - vorzmq_pub_socket::send: `ok`, `no_socket`, `dropped` (queue full),
//   `interrupted` (nothing sent) or `not_sent`;
// - vorzmq_rebrdcst_socket::rebrdcst: `invalid_data` (nothing sent), else
//   what its request's send set;
// - vorzmq_sub_socket::add_topic, through the connect it makes;
// - vorzmq_poller::wait, through the sockets it creates, and
//   `receive_failed` when it fails.
// `ok` for a request means the server acknowledged it; `no_reply` does not
// mean the server never got it. Since 1.3 every receive and send that a
// signal interrupts (EINTR: a host's timer, SIGCHLD, a profiler) returns
// its failure value with `interrupted` (a TRACE, no ERROR) and keeps its
// socket, so that the next call goes on and nothing queued is lost: an
// interrupted send sent nothing, and a reply socket's reply is still owed.
// A request waiting for its OK reply waits on instead, up to its time-out
// counted again from the signal; a message's later frames are sent or read
// past a signal, never left half done.
enum class vorzmq_result : int32_t {
    ok = 0,
    no_socket,
    not_sent,
    no_reply,
    receive_failed,
    unexpected_reply,
    invalid_data,
    dropped,
    truncated,  // since 1.2
    // since 1.2: the server refused this CURVE client, or it has the wrong
    // server key; since 1.3 also a clear-text client of a CURVE server (or
    // the other way round). vorzmq_last_error() tells which: EACCES not
    // admitted, EPROTONOSUPPORT one side CURVE and the other clear text
    // (for a clear-text client also a server that ended every handshake,
    // which is what a CURVE server does), EPROTO any other failed handshake.
    refused,
    interrupted  // since 1.3: a signal ended the wait; the socket is kept and nothing queued is lost
};

// This thread's last outcome (`ok` before any call).
VORZMQ_API vorzmq_result vorzmq_last_result();
// The zmq_errno() behind this thread's last failure, else 0 (also for
// failures that no libzmq call reported, such as an unexpected reply).
VORZMQ_API int vorzmq_last_error();
// A short lower-case text for `result`, e.g. "no reply"; never null.
VORZMQ_API const char* vorzmq_result_text(vorzmq_result result);

// Since 1.2. CURVE security, done by libzmq and libsodium: the connection is
// encrypted, and the client knows it talks to the holder of the server's
// secret key. Keys are 40-character Z85 texts, as zmq_curve_keypair makes
// them. A binding socket (reply, publish) becomes a CURVE server with
// set_curve_server, a connecting one (request, subscribe, re-broadcast) a
// CURVE client with set_curve_client. Give the keys before the first use:
// they apply to every socket the object creates, resets included. Keys that
// are not valid, or that libzmq refuses, leave the object without any socket
// (ERROR, `no_socket`, and every later operation tries again), never with a
// socket in clear text.

// Since 1.2. Which clients a CURVE server admits.
enum class vorzmq_curve_clients : int32_t {
    // Every client that knows the server's public key.
    any = 0,
    // Only clients whose public key a running vorzmq_authenticator on the
    // socket's context allows. Without one, or while it is stopped, nobody
    // is admitted.
    allowed = 1
};

// Since 1.2. Reads a certificate file as czmq's zcert and pyzmq's zmq.auth
// write them (NAME.key, and NAME.key_secret that also holds the secret
// key): a `curve` section with `public-key = "<key>"` and, in the secret
// file, `secret-key = "<key>"`, plus an optional `metadata` section. Sets
// both keys (`secret_key` empty for a public certificate) and returns true.
// Anything odd in the file (other sections, bad indentation, control
// characters, a key given twice or malformed, a secret key that does not
// belong to the public key, more than 64 KiB, not a regular file) is refused:
// ERROR "Failed to Read CURVE Certificate: <path> -- <reason>", false, and
// both keys empty. A secret key in a file that group or others may read is
// logged as WARN and still returned.
[[nodiscard]] VORZMQ_API bool vorzmq_read_certificate(const std::string& path, std::string& public_key, std::string& secret_key);

// Owns the process's ZeroMQ context. Never throws: when libzmq cannot make
// a context, ERROR "ZMQ Context Init Failed -- <error>" is logged and every
// socket constructed from this object throws "ZMQ Context is NULL".
// The destructor terminates the context; it waits for sockets still open
// and for their unsent messages (at most their 1000 ms linger). Creation and
// destruction are logged as DEBUG. Since 1.3, a context destroyed while
// objects made from it are alive says so first (ERROR "Destroying ZMQ
// Context with N Objects Made from It Still Alive -- ..."): libzmq waits
// until their sockets close, for ever if no other thread ends them.
// After fork(), a context belongs to the process that made it: libzmq's
// threads did not follow into the child. A child that unwinds past the
// parent's vorzmq_context gets an ERROR and the context is left alone
// rather than waited on for ever; a child should end with _exit() or exec,
// or make a context of its own and use only that.
class VORZMQ_API vorzmq_context {
public:
    vorzmq_context();
    ~vorzmq_context();

    vorzmq_context(const vorzmq_context&) = delete;
    vorzmq_context& operator=(const vorzmq_context&) = delete;

    // Since 1.2. Sockets on tcp:// endpoints send ZMTP heartbeats, so that a
    // peer that vanished without closing its connection (a crashed host, a
    // cut link) is noticed and a connecting socket connects afresh. Every
    // `interval_ms` (default 2000) each side pings; a connection silent for
    // three intervals is dropped, and a connect attempt that gets no answer
    // is given up after one and a half. So a connecting socket is connected
    // to a peer that came back at its address within about 5.5 intervals
    // (11 s by default). Applies to the sockets created from this context
    // after the call (resets included); 0 turns heartbeats off; a negative
    // value is logged as WARN and changes nothing. Binding sockets of every
    // transport also drop a connection that has not finished its handshake
    // within 5 s.
    void set_heartbeat_ms(int32_t interval_ms);

    void* context;  // raw libzmq context handle; null when creation failed
};

// Client end of a synchronous exchange (a ZeroMQ REQ socket that connects).
// Throws std::runtime_error("ZMQ Context is NULL") from the constructor only.
// The constructor logs DEBUG; the destructor closes the socket at once (its
// unsent messages are left to the context's linger).
class VORZMQ_API vorzmq_request_socket {
public:
    vorzmq_request_socket(vorzmq_context& context, const std::string& url);
    ~vorzmq_request_socket();

    vorzmq_request_socket(const vorzmq_request_socket&) = delete;
    vorzmq_request_socket& operator=(const vorzmq_request_socket&) = delete;

    // Connects when there is no socket, or re-creates one after a broken
    // exchange (logged as WARN). Does not block: ZeroMQ connects in the
    // background. A refused socket or connect is logged as ERROR and the
    // next call tries again; an empty URL is silently skipped.
    void init_if_necessary();

    // Sends `message` as one frame, connecting first when needed; the send
    // is blocking, with no send timeout. With `expect_ok` it then waits up
    // to the receive timeout (1000 ms unless set) for the OK reply; a
    // missing or different reply is logged and the socket is re-created
    // before the next request, as it is after a send that failed. Without
    // `expect_ok` the host must call receive() once before the next send.
    void send(const std::string& message, bool expect_ok);
    // A text where `expect_ok` belongs would always count as true.
    void send(const std::string& message, const char* expect_ok) = delete;

    // Receives the reply to a send(message, false) into `buffer` (waits up
    // to the receive timeout); it uses the current socket and never
    // connects. Returns the reply's size, `buffer_size` when it was
    // truncated (logged as WARN), or 0 on failure (logged as ERROR; the
    // socket is re-created next time).
    // Nothing beyond the reply's bytes is written; no terminator is added.
    // A truncated reply sets `truncated`. An empty reply also returns 0:
    // vorzmq_last_result() is `ok` for it and names the failure otherwise.
    size_t receive(void* buffer, size_t buffer_size);
    // Since 1.2. As receive(buffer, buffer_size), but replaces `reply` with
    // the whole reply, zero bytes and all, so nothing is ever cut. Returns
    // false on failure; `reply` is then left alone.
    [[nodiscard]] bool receive(std::string& reply);

    // Since 1.2. Makes this a CURVE client of the server with the given
    // public key. `secret_key` is this client's own key (its public key is
    // derived from it), which a server with an allow-list checks; empty: a
    // fresh key pair, made now and kept for the life of the object. Returns
    // false, with an ERROR, for a key that is not 40 Z85 characters; the
    // object then makes no socket until valid keys are given. Given while a
    // socket is open, the next operation replaces that socket (a reset).
    // A request whose reply does not come within the time-out because the
    // handshake failed (refused by the server, a wrong server key, or an
    // allow-list without its authenticator) ends with `refused` and an ERROR
    // "Request Refused by the Server: <url> -- <cause>" instead of
    // `no_reply`, and the next request makes a new socket (libzmq does not
    // connect again to a server that refused it). Since 1.3 a refusal ends
    // the wait as soon as it happens, not at the time-out, and a client in
    // clear text that meets a CURVE server ends with `refused` too.
    [[nodiscard]] bool set_curve_client(const std::string& server_public_key, const std::string& secret_key);

    bool valid();  // whether the URL is not empty

    // How long send(message, true) and receive wait for the reply (default
    // 1000; -1 without limit); applies to the current socket too. A value
    // libzmq refuses is logged as WARN.
    void set_receive_timeout_ms(int32_t milliseconds);

private:
    friend struct vorzmq_socket_access;  // the library's shared socket code

    std::string url;
    int32_t receive_timeout_ms;
    int32_t linger_ms;
    int32_t receive_flags;
    void* context;
    void* socket;
    bool reset_pending;
};

// Server end of a synchronous exchange (a ZeroMQ REP socket that binds; each
// bind pauses 500 ms and opens an ipc:// endpoint file to mode 0771). A bind
// never replaces what is at an ipc:// path unless it is a socket file that
// nobody listens on: a live endpoint (another user's too) or any other file
// fails it with EADDRINUSE.
// Alternate strictly: one receive() that returns true, then one reply.
// Throws std::runtime_error("ZMQ Context is NULL") from the constructor only.
// The constructor logs DEBUG; the destructor closes the socket at once.
class VORZMQ_API vorzmq_reply_socket {
public:
    vorzmq_reply_socket(vorzmq_context& context, const std::string& url);
    ~vorzmq_reply_socket();

    vorzmq_reply_socket(const vorzmq_reply_socket&) = delete;
    vorzmq_reply_socket& operator=(const vorzmq_reply_socket&) = delete;

    // Binds when there is no socket, or re-binds after an unexpected error
    // (logged as WARN). A successful bind blocks 500 ms; a failed one is
    // logged as ERROR and blocks the caller for 5 seconds.
    void init_if_necessary();

    // Binds first when needed (see init_if_necessary), then waits up to the
    // receive timeout (1000 ms) for a request and appends its text (up to
    // the first zero byte) to `stream`. With `acknowledge` the OK reply ("ok"
    // and a zero byte) is sent first. Returns false on timeout (TRACE) or
    // error (ERROR; the socket is re-bound on the next call).
    bool receive(std::stringstream& stream, bool acknowledge);
    // As receive(stream, acknowledge), but replaces `request` with the whole
    // request, zero bytes and all, for hosts that take binary requests or
    // must refuse them (nothing is ever cut; the socket takes no request
    // longer than 4 MiB). Left alone when nothing was received.
    [[nodiscard]] bool receive(std::string& request, bool acknowledge);

    // The replies. Each sends one frame without waiting for the requester;
    // a failure is logged as ERROR. All but send(data, size) use the current
    // socket and never bind.
    // Replies with the OK reply.
    void send_ok();
    // Replies with the string's bytes.
    void send(const std::string& response);
    // Replies with `size` bytes, binding first when needed; a failure also
    // re-binds on the next call.
    void send(const void* data, size_t size);
    // Replies with the value's compact JSON text and a final line feed.
    void send(const Json::Value& response);
    // Since 1.3. Replies with the text's bytes up to its zero byte, as
    // send(std::string(response)); a null pointer sends nothing and logs
    // ERROR. (Before 1.3 a string literal was ambiguous here.)
    void send(const char* response);
    // Mistakes that would otherwise compile: a bool or a number would be
    // sent as JSON ("false\n"), 0 as a null text.
    void send(bool) = delete;
    void send(int) = delete;

    // Settings for hosts that need other than the defaults (1000, 1000, 0):
    // the timeout and linger apply to the current socket and every later
    // one (a value libzmq refuses is logged as WARN), the flags to the next
    // receive.
    void set_receive_timeout_ms(int32_t milliseconds);
    void set_linger_ms(int32_t milliseconds);
    void set_receive_flags(int32_t flags);

    // Since 1.2. Makes this a CURVE server with the given secret key (see
    // vorzmq_curve_clients for who is admitted). Returns false, with an
    // ERROR, for a key that is not 40 Z85 characters; the object then makes
    // no socket until valid keys are given. Given while a socket is open,
    // the next operation replaces that socket (a reset).
    [[nodiscard]] bool set_curve_server(const std::string& secret_key, vorzmq_curve_clients clients);

    // The endpoint the socket is bound to, with the port libzmq chose for a
    // wildcard such as tcp://127.0.0.1:*; empty while not bound.
    std::string last_endpoint() const;

private:
    friend struct vorzmq_socket_access;  // the library's shared socket code

    std::string url;
    int32_t receive_timeout_ms;
    int32_t linger_ms;
    int32_t receive_flags;
    void* context;
    void* socket;
    bool reset_pending;
};

// Sending end of topic broadcast (a ZeroMQ PUB socket that binds). Each
// message is a topic frame (topic plus "$" unless it already ends in "$")
// and a data frame (data plus one zero byte), both sent without waiting.
// Throws std::runtime_error("ZMQ Context is NULL") from the constructor only.
// The constructor logs DEBUG. The destructor closes the socket without
// unbinding: what is still queued goes on to the subscribers for up to the
// linger (1000 ms), and the context's destructor waits for it. (Over ipc://
// a libzmq subscriber that is more than its own receive mark, 1000 messages
// by default, behind when the connection ends drops what it has not read
// yet; a host that ends right after a long burst keeps the socket open until
// its subscribers have caught up.)
//
// Each subscriber has a queue of at most the high-water mark, 16 messages by
// default. A message that finds a subscriber's queue full is dropped for that
// subscriber alone, so a burst of more than 16 messages published faster than
// the subscriber's connection drains them is not delivered whole. Hosts that
// publish bursts raise the mark before the first send: to twice the longest
// burst (messages sent just before still hold queue places that the socket
// has not yet taken back), or to 0 for no limit (memory then grows with a
// subscriber that stops reading). A subscriber that connects after a message
// was published never receives it.
class VORZMQ_API vorzmq_pub_socket {
public:
    vorzmq_pub_socket(vorzmq_context& context, const std::string& url);
    ~vorzmq_pub_socket();

    vorzmq_pub_socket(const vorzmq_pub_socket&) = delete;
    vorzmq_pub_socket& operator=(const vorzmq_pub_socket&) = delete;

    bool valid();  // whether the URL is not empty

    // Binds (with the 500 ms readiness pause) when there is no socket, or
    // re-binds after an unexpected error (logged as WARN). A failed bind is
    // logged as ERROR and the next call tries again.
    void init_if_necessary();

    // Publishes one message. Apart from the bind of the first call it never
    // blocks. A full queue is a WARN ("Failed to Publish Message Topic: ...
    // Resource temporarily unavailable") and the message is dropped for the
    // subscribers whose queues are full; it is logged once each time a queue
    // overflows, not for every message that subscriber misses until it has
    // room again. Other errors are ERRORs and re-bind next time.
    void send(const std::string& topic, const std::string& data);

    // Settings for hosts that need other than the defaults (16 messages and
    // 1000 ms; a mark of 0 means no limit, a linger of -1 waits without
    // limit). Both apply to the current socket and every later one; a value
    // libzmq refuses is logged as WARN.
    void set_high_water_mark(int32_t messages);
    void set_linger_ms(int32_t milliseconds);

    // Since 1.2. Makes this a CURVE server with the given secret key (see
    // vorzmq_curve_clients for who is admitted). Returns false, with an
    // ERROR, for a key that is not 40 Z85 characters; the object then makes
    // no socket until valid keys are given. Given while a socket is open,
    // the next operation replaces that socket (a reset).
    [[nodiscard]] bool set_curve_server(const std::string& secret_key, vorzmq_curve_clients clients);

    // The endpoint the socket is bound to, with the port libzmq chose for a
    // wildcard such as tcp://127.0.0.1:*; empty while not bound.
    std::string last_endpoint() const;

private:
    friend struct vorzmq_socket_access;  // the library's shared socket code
    std::string url;
    int32_t high_water_mark;
    int32_t linger_ms;
    void* context;
    void* socket;
    bool reset_pending;
};

// Receiving end of topic broadcast (a ZeroMQ SUB socket that connects).
// Filters are kept by the object and applied again to every new socket.
// Throws std::runtime_error("ZMQ Context is NULL") from the constructor only.
// The constructor logs DEBUG; the destructor closes the socket at once.
class VORZMQ_API vorzmq_sub_socket {
public:
    vorzmq_sub_socket(vorzmq_context& context, const std::string& url);
    ~vorzmq_sub_socket();

    vorzmq_sub_socket(const vorzmq_sub_socket&) = delete;
    vorzmq_sub_socket& operator=(const vorzmq_sub_socket&) = delete;

    // Connects when there is no socket, or re-creates one after an
    // unexpected receive error (logged as WARN; with every filter asked for
    // so far). Does not block. Failures are logged as ERROR and the next
    // call tries again.
    void init_if_necessary();

    // Subscribes to `topic` alone (exact_match; the one-argument form) or to
    // every topic that begins with it; connects first when needed, logs DEBUG.
    // The empty topic subscribes to everything. A filter that ZeroMQ refuses
    // is logged as ERROR and closes the socket; it is kept all the same and
    // applied to the next socket. A vorzmq_pub_socket (and vorzmq forward)
    // takes filters of at most 4,095 bytes, the "$" of exact_match included,
    // and disconnects a subscriber that sends a longer one.
    void add_topic(const std::string& topic, bool exact_match);
    void add_topic(const std::string& topic);

    // Connect first when needed, then wait for the next message that passes
    // a filter (without limit by default) and deliver its data: as text
    // appended to `stream` (up to its first zero byte, at most 4 MiB less one
    // byte), or as the raw data frame copied into `buffer` (at most
    // `buffer_size`, no terminator added; a frame from a vorzmq_pub_socket
    // ends in its zero byte). Data cut to fit is logged as WARN and sets
    // `truncated`; the receive still returns true. Without any filter asked
    // for, the first receive subscribes to every topic. Messages of one
    // frame only are dropped without extending the wait: past the timeout,
    // or at once without one, the receive then ends as a timeout. Return
    // false on timeout (TRACE) or error (ERROR; the socket is re-created on
    // the next call).
    bool receive(std::stringstream& stream);
    bool receive(void* buffer, size_t buffer_size);
    // As receive(stream), and sets `topic` to the message's topic as
    // published: the topic frame without its one final "$" (a topic
    // published with a final "$" of its own loses that one). Left alone
    // when nothing was received.
    bool receive(std::stringstream& stream, std::string& topic);
    // Since 1.2. Receives a whole message, for hosts that carry any bytes:
    // replaces `data` with the data as published, zero bytes and all (the
    // data frame without the one zero byte a vorzmq_pub_socket ends it with;
    // a frame from another publisher that ends in none is taken whole), and
    // `topic` as receive(stream, topic) does. Nothing is ever cut. Both are
    // left alone when nothing was received.
    [[nodiscard]] bool receive(std::string& data, std::string& topic);

    // Since 1.2. Makes this a CURVE client of the server with the given
    // public key. `secret_key` is this client's own key (its public key is
    // derived from it), which a server with an allow-list checks; empty: a
    // fresh key pair, made now and kept for the life of the object. Returns
    // false, with an ERROR, for a key that is not 40 Z85 characters; the
    // object then makes no socket until valid keys are given. Given while a
    // socket is open, the next operation replaces that socket (a reset).
    // A receive that times out because the handshake failed (see
    // vorzmq_request_socket::set_curve_client) ends with `refused` and an
    // ERROR "Subscription Refused by the Server: <url> -- <cause>", and a
    // later receive makes a new socket that tries again. Since 1.3 it first
    // pauses, 250 ms after one refusal and twice as long after each further
    // one in a row, up to 8 s: a receive within the pause waits (at most its
    // time-out), makes no socket and ends as `refused`. Without a receive
    // time-out (the default) a refused subscriber cannot be told: it waits
    // for ever, and its handshakes are not watched at all, so that nothing
    // piles up.
    [[nodiscard]] bool set_curve_client(const std::string& server_public_key, const std::string& secret_key);

    // Settings for hosts that need other than the defaults (-1, 1000, 0):
    // the timeout and linger apply to the current socket and every later
    // one (a value libzmq refuses is logged as WARN), the flags to the next
    // receive.
    void set_receive_timeout_ms(int32_t milliseconds);
    void set_linger_ms(int32_t milliseconds);
    void set_receive_flags(int32_t flags);

private:
    friend struct vorzmq_socket_access;  // the library's shared socket code

    std::string url;
    int32_t receive_timeout_ms;
    int32_t linger_ms;
    int32_t receive_flags;
    void* context;
    void* socket;
    std::vector<std::string> filters;  // every filter asked for, in order
    bool reset_pending;
};

// Asks an outside request/reply service to re-broadcast a topic and a JSON
// payload, and waits for its OK reply (through a request socket).
// Throws std::runtime_error("ZMQ Context is NULL") from the constructor only.
class VORZMQ_API vorzmq_rebrdcst_socket {
public:
    vorzmq_rebrdcst_socket(vorzmq_context& context, const std::string& url);

    vorzmq_rebrdcst_socket(const vorzmq_rebrdcst_socket&) = delete;
    vorzmq_rebrdcst_socket& operator=(const vorzmq_rebrdcst_socket&) = delete;

    bool valid();  // whether the URL is not empty

    // Sends {"data":<data>,"topic":"<topic>$"} in compact form (an empty
    // topic stays empty) and waits up to 1000 ms for the OK reply; like
    // vorzmq_request_socket::send the send itself has no send timeout.
    // Data that is not JSON is logged as ERROR and nothing is sent. Reports
    // through the log (the request socket's records) and vorzmq_last_result.
    void rebrdcst(const std::string& topic, const std::string& data);

    // Since 1.2. Makes the request socket a CURVE client, as
    // vorzmq_request_socket::set_curve_client does; a refused re-broadcast
    // request then ends with `refused`.
    [[nodiscard]] bool set_curve_client(const std::string& server_public_key, const std::string& secret_key);

private:
    std::string url;
    vorzmq_request_socket request_socket;
};

// Since 1.2. Decides which CURVE clients the servers of one context admit
// (those given vorzmq_curve_clients::allowed): a client whose public key is
// in a certificate file NAME.key of a directory (as czmq's zcert and pyzmq's
// zmq.auth write them; other files are ignored, a malformed one is logged as
// WARN and admits nobody), and optionally whose address is in a list. A
// file admits nobody either, with a WARN, when it is a link that leads out
// of the directory, when neither the process's user nor root owns it, or
// when it holds a secret key; a directory that every user may write is
// warned about once.
//
// It answers libzmq's authentication requests (ZAP) for its context on a
// thread of its own, started by start() and ended by stop() or the
// destructor: the one thread this library ever starts, and only in hosts
// that make an authenticator. While it runs, it also admits what the
// library's other sockets would admit without it (clear-text sockets, and
// CURVE servers with vorzmq_curve_clients::any), and refuses the requests of
// sockets the host made itself with a ZAP domain or CURVE of their own.
//
// The directory is read once by start(), then watched (inotify): each file
// added, removed or rewritten is read again once, before the next
// handshake is judged, so a change applies to every connection that begins
// after it, whatever the file's size or time stamps; a handshake never
// waits for the directory to be read. Where inotify cannot be had, or the
// directory itself is replaced, it is compared every half second instead,
// by inode and nanosecond times. A connection already
// admitted stays open when its key is removed: to shut a client out at
// once, also restart the server's socket. Refusals are logged as WARN with
// the client's address and the start of its key, at most one record a
// second; a record then counts the refusals it stands for.
//
// One authenticator per context. Destroy it before its context, as every
// socket. Throws nothing after construction.
class VORZMQ_API vorzmq_authenticator {
public:
    explicit vorzmq_authenticator(vorzmq_context& context);
    ~vorzmq_authenticator();  // stops it
    vorzmq_authenticator(const vorzmq_authenticator&) = delete;
    vorzmq_authenticator& operator=(const vorzmq_authenticator&) = delete;

    // Admits the clients whose public certificates are in `directory`.
    // Returns false with an ERROR when the context has no handle, the
    // directory cannot be read, another authenticator already serves the
    // context (after waiting up to 2 s for libzmq to release the ZAP
    // endpoint of one just stopped), or the thread cannot start; true when
    // already running. A start right after stop() always succeeds.
    [[nodiscard]] bool start(const std::string& directory);
    // Ends the thread; from then on every server that requires an
    // allow-list admits no new client. (With libzmq 4.3 such a client may
    // hear of it only after the server's 5 s handshake limit, so its first
    // request can end as `no_reply` rather than `refused`.) Does nothing
    // when not running.
    void stop();
    // True exactly while the thread serves. A thread that ends by itself
    // (the context was shut down) logs ERROR "Authenticator Stopped --
    // <error> -- Admitting None"; start() may then be called again.
    bool running() const;

    // Since 1.3. How many clients it has refused since the object was made,
    // whatever the reason (key or address not allowed, not a CURVE client),
    // every refusal counted, logged or not. Safe to read from any thread.
    uint64_t refusals() const;

    // Also requires the client's address (as libzmq gives it: "192.0.2.7",
    // "::1") to be one of `addresses`; empty, the default: any address.
    // Applies to the next connection, running or not.
    void set_allowed_addresses(const std::vector<std::string>& addresses);

private:
    struct state;
    state* self;  // behind a pointer, so the layout can change freely
};

// Waits on several sockets at once from one thread, as zmq_poll does for
// raw ZeroMQ sockets. It starts no thread and, after its first wait,
// allocates nothing per wait. Throws nothing after construction.
//
// A socket stays added until it is removed or the poller is destroyed. A
// socket destroyed while still added leaves the poller (WARN); a poller and
// its sockets belong to one thread.
class VORZMQ_API vorzmq_poller {
public:
    vorzmq_poller();
    ~vorzmq_poller();
    vorzmq_poller(const vorzmq_poller&) = delete;
    vorzmq_poller& operator=(const vorzmq_poller&) = delete;

    // Records a socket to wait on; adding one twice adds it once. Removing
    // a socket that was not added does nothing.
    void add(vorzmq_request_socket& socket);
    void add(vorzmq_reply_socket& socket);
    void add(vorzmq_sub_socket& socket);
    void remove(vorzmq_request_socket& socket);
    void remove(vorzmq_reply_socket& socket);
    void remove(vorzmq_sub_socket& socket);

    // First gives every added reply and subscribe socket its ZeroMQ socket
    // as its receive would (init_if_necessary with its bind pause, reset
    // WARN and recorded filters; a subscribe socket without any filter
    // subscribes to every topic). A socket whose creation failed (ERROR
    // already logged) is left out and tried again by the next wait; with
    // timeout -1 the wait itself retries it every second. A failed bind
    // does not pause the wait: it is tried again 5 s later, as a receive
    // would after its pause. A request socket
    // takes part only while it has a working socket, that is after a send.
    // Then waits up to `timeout_ms` (-1: without limit, 0: just look) until
    // an added socket has a message waiting. Returns how many have one; 0
    // on time-out (TRACE) and when a signal interrupted the wait, so that
    // a loop can look at its stop flag; -1 on failure (ERROR).
    int wait(int32_t timeout_ms);

    // Whether the last wait found a message waiting on `socket`; a receive
    // on it then returns at once. False for a socket not added. A reply
    // socket that owes its requester a reply is never readable: answer
    // each request before waiting for the next. A subscribe socket is
    // readable only for a message that passed its filters.
    bool readable(const vorzmq_request_socket& socket) const;
    bool readable(const vorzmq_reply_socket& socket) const;
    bool readable(const vorzmq_sub_socket& socket) const;

private:
    struct state;
    state* self;  // behind a pointer, so the layout can change freely
};

// Whether `url` can name an endpoint: true for any non-empty string.
VORZMQ_API bool valid_url(const std::string& url);

// The endpoint of a queue: "ipc://" + $VOR_HOME + "/queues/" + the name with
// surrounding white space trimmed. Throws std::runtime_error for an empty
// name ("Empty Request Response Name is Invalid"), for a name with a ".."
// component, which would lead out of the queues directory ("Request
// Response Name Leaves the Queues Directory"), and when VOR_HOME is not set
// ("VOR_HOME Environment Variable Not Set", also logged as ERROR).
VORZMQ_API std::string build_request_response_url(const std::string& name);

// Writes {"data": <parsed data>, "topic": "<topic>"} as indented JSON to
// `out` and returns true; returns false and writes nothing when `data` is not
// valid JSON. Logs nothing, throws nothing.
VORZMQ_API bool build_json(const std::string& topic, const std::string& data,
                           std::stringstream& out);

#endif  // VORZMQ_H

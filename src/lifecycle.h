// SPDX-License-Identifier: MIT
// The lifecycle every socket class shares: one named description per kind of
// socket, one handle per socket object, and the steps that create, harden,
// attach, reset and close its ZeroMQ socket.
#ifndef VORZMQ_SRC_LIFECYCLE_H
#define VORZMQ_SRC_LIFECYCLE_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "vorzmq.h"

namespace vorzmq::internal {

struct socket_kind;

// One socket object as the shared code sees it: its settings by value, its
// ZeroMQ socket and reset flag by reference. Made afresh for each use, since
// the public classes keep their layout and have no room for one.
struct socket_handle {
    const socket_kind& kind;
    const std::string& url;
    void* context;
    void*& socket;
    bool& reset_pending;
    int32_t receive_timeout_ms;
    int32_t receive_flags;
    int32_t linger_ms;
    int32_t high_water_mark;
    std::vector<std::string>* filters;  // a subscriber's, in order; else null
    const void* object;                 // the socket object, which keys its CURVE settings
    // A poller keeps a failed bind from blocking its wait: no pause, and it
    // learns that the attach step failed, to retry only after the pause.
    bool pause_after_failed_attach = true;
    bool attach_failed = false;
};

struct socket_option {
    int option;
    const char* name;               // as in "Failed to Set Socket <name> (<value>) -- "
    int32_t socket_handle::*value;  // the host's setting, or null for `fixed_value`
    int32_t fixed_value;
};

// What sets one class's socket apart. Texts are logged as they stand, with
// "{endpoint}" and "{error}" filled in.
struct socket_kind {
    const char* constructor_signature;
    const char* constructed;  // DEBUG when the object is made
    const char* setup_signature;
    int type;
    bool binds;               // else connects
    bool created_by_receive;  // else only a send creates it (a poller leaves it alone)
    bool needs_url;           // an empty URL means no socket, without a record
    const char* missing_context;
    const char* closing;   // WARN when a reset closes the socket
    const char* creating;  // DEBUG before each creation, or null
    const char* creation_failed;
    const char* attach_failed;
    unsigned pause_after_failed_attach_s;
    std::array<socket_option, 3> options;  // those without a name are not set
};

// The texts of one receive step that can fail.
struct receive_texts {
    const char* timed_out;  // TRACE, followed by the time-out
    const char* failed;     // ERROR, followed by the error; the socket is reset
};

// TRACE for a receive that a signal ended: not a fault of the socket.
inline constexpr char receive_interrupted[] = "Receive Interrupted by a Signal -- Socket Kept";

// A send that a signal ended sent nothing and leaves the socket sound: it is
// recorded as `interrupted` with a TRACE, and true is returned; false for any
// other error, which the caller reports.
bool note_interrupted_send(const char* signature, int err);

inline constexpr receive_texts message_receive{"No Messages Received Before Timeout: ",
                                               "Failed to Receive Message -- ZMQ Error: "};

// Names the endpoint, then refuses a context without a handle (throws).
void announce_socket(const socket_handle& handle);

inline bool socket_ready(const socket_handle& handle)
{
    return handle.context != nullptr && handle.socket != nullptr && !handle.reset_pending;
}

// init_if_necessary: carries out a pending reset, then creates, configures
// and attaches a socket when there is none, and gives a subscriber's new
// socket every recorded filter. Returns true when a new socket is ready.
bool set_up(socket_handle& handle);

// A setter's value, given to the live socket too (libzmq takes time-outs,
// linger and marks at any time); a refusal is the creation's WARN.
void apply_setting(const char* signature, const socket_handle& handle, int option);

// What a receive, or a poller's wait, does first: the ZeroMQ socket to wait
// on, created where the receive would create it; null when there is none.
void* socket_for_receive(socket_handle& handle);

// A failed receive, recorded. One that found nothing within its time-out,
// or that a signal interrupted, leaves the socket as it is; any other
// failure breaks it until the next init_if_necessary.
void report_failed_receive(const char* signature, socket_handle& handle, const receive_texts& texts,
                           bool timed_out, int err);

// libzmq rejects a null handle harmlessly, so a reset of an object that
// never had a socket may pass it on.
void close_socket(void*& socket);

// Closes a socket object's ZeroMQ socket, ending first what watches it.
void close_object_socket(const void* object, void*& socket);

// Closes the object's socket, after taking it out of any poller that still
// holds it (WARN), and forgets its CURVE settings and that it was alive.
void close_on_destruction(const void* object, const void* context, const char* signature, void*& socket);

// Objects made from a context, counted so that destroying the context while
// some are alive (libzmq then waits for ever) is named in the log.
void note_object_made(const void* context);
void note_object_gone(const void* context);

// The endpoint a bound socket has, as libzmq reports it.
std::string bound_endpoint(void* socket);

// Pollers holding a socket object, so that a socket destroyed while still
// added leaves them instead of leaving a dangling member.
struct poll_set;
void note_polled(const void* object, poll_set* holder);
void note_unpolled(const void* object, poll_set* holder);
bool leave_pollers(const void* object);

// Subscription filters: recorded, set, and set again on every new socket.
void add_filter(socket_handle& handle, const std::string& topic, bool exact_match);
// As add_filter, without the set-up: right after a set-up that failed it
// only records the filter, rather than trying (and logging) once more.
void add_filter_to_current_socket(socket_handle& handle, const std::string& topic, bool exact_match);
bool set_filter(socket_handle& handle, const std::string& filter, const char* signature);

}  // namespace vorzmq::internal

// The socket classes grant this, and nothing else, access to their members.
struct vorzmq_socket_access {
    static vorzmq::internal::socket_handle handle(vorzmq_request_socket& socket);
    static vorzmq::internal::socket_handle handle(vorzmq_reply_socket& socket);
    static vorzmq::internal::socket_handle handle(vorzmq_pub_socket& socket);
    static vorzmq::internal::socket_handle handle(vorzmq_sub_socket& socket);
};

#endif  // VORZMQ_SRC_LIFECYCLE_H

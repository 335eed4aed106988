// SPDX-License-Identifier: MIT
// Per-object CURVE settings. The socket classes keep their layout, so the
// settings live here, keyed by the socket object, and every socket the object
// creates gets them before it binds or connects.
#ifndef VORZMQ_SRC_CURVE_H
#define VORZMQ_SRC_CURVE_H

#include <cstdint>
#include <string>

#include "wire.h"

namespace vorzmq::internal {

struct socket_handle;

// Gives a new socket the object's CURVE settings, if it has any. Returns
// false, with an ERROR and `no_socket`, when they cannot be applied; the
// caller then closes the socket.
bool apply_curve(const char* signature, const socket_handle& handle);

// Before the object's socket closes (or, with a null socket, after the
// socket that libzmq watched is already closed): libzmq 4.3 would go on sending
// handshake events of a lingering socket into a watch nobody reads, and its
// I/O thread blocks on them, stalling every connection of the context.
void stop_watching_handshakes(const void* object, void* socket);

// After the object's receive time-out changed on an open socket: a client's
// handshakes are watched only while it has a time-out at which to read them.
void follow_receive_timeout(const char* signature, const socket_handle& handle);

// The object is gone: so are its settings.
void forget_curve(const void* object);

// After a wait for the server that found nothing: when the object's last
// CURVE handshake failed, records `refused`, logs ERROR `what` + url + the
// cause, and returns true. libzmq does not try again a connection that the
// server refused, so the caller resets the socket; what `socket` still holds
// is dropped when it closes. Objects without CURVE settings never take a
// lock here.
bool report_curve_refusal(const char* signature, const void* object, void* socket, const std::string& url,
                          const char* what);

// Before a client's receive of a reply, while its socket has not yet
// completed a handshake: waits up to `timeout_ms` for the reply or the
// handshake, and ends as soon as the server refuses the handshake (its key,
// or clear text against CURVE), so that the refusal is told when it happens
// and not at the time-out. Returns the flags for the receive that follows:
// the caller's (a reply is there, or the handshake succeeded and the
// receive waits as it always has), or with ZMQ_DONTWAIT once the wait has
// ended in a refusal or spent the time-out. Once a handshake succeeded it
// costs one lookup.
int wait_for_reply_or_refusal(const void* object, void* socket, int flags, int32_t timeout_ms);

// How long a client refused in its last handshakes should still wait before
// it tries again (a pause that starts at 250 ms and doubles with each
// refusal in a row, up to 8 s), in milliseconds; 0 when it may try now.
long refusal_pause_left_ms(const void* object);

}  // namespace vorzmq::internal

#endif  // VORZMQ_SRC_CURVE_H

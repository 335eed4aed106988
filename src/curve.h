// SPDX-License-Identifier: MIT
// Per-object CURVE settings. The socket classes keep their layout, so the
// settings live here, keyed by the socket object, and every socket the object
// creates gets them before it binds or connects.
#ifndef VORZMQ_SRC_CURVE_H
#define VORZMQ_SRC_CURVE_H

namespace vorzmq::internal {

struct socket_handle;

// The ZAP domain of the library's sockets, and the one of CURVE servers that
// admit only allowed clients, which the authenticator tells apart.
inline constexpr char zap_domain[] = "vorzmq";
inline constexpr char allow_list_zap_domain[] = "vorzmq.allowed";

// Gives a new socket the object's CURVE settings, if it has any. Returns
// false, with an ERROR and `no_socket`, when they cannot be applied; the
// caller then closes the socket.
bool apply_curve(const char* signature, const socket_handle& handle);

// The object is gone: so are its settings.
void forget_curve(const void* object);

}  // namespace vorzmq::internal

#endif  // VORZMQ_SRC_CURVE_H

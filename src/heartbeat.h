// SPDX-License-Identifier: MIT
// Noticing a peer that vanished: ZMTP heartbeats on tcp:// endpoints, a
// bounded connect attempt, and a time limit on the handshake of connections
// to binding sockets.
#ifndef VORZMQ_SRC_HEARTBEAT_H
#define VORZMQ_SRC_HEARTBEAT_H

#include <array>
#include <cstdint>
#include <string>

namespace vorzmq::internal {

// Every socket made from a context without a setting of its own beats at
// this interval; a peer silent for three intervals is dropped.
inline constexpr int32_t default_heartbeat_interval_ms = 2000;

// A connection to a binding socket that has not finished its handshake by
// then is dropped (libzmq's own default is 30 s).
inline constexpr int32_t handshake_limit_ms = 5000;

// The interval for the sockets made from `context` from now on (0: none).
void set_heartbeat_interval(void* context, int32_t interval_ms);
int32_t heartbeat_interval(void* context);
// A context that is destroyed leaves its setting behind, so that a new one
// at the same address starts from the default.
void forget_heartbeat_interval(void* context);

struct liveness_option {
    int option;
    const char* name;  // as in "Failed to Set Socket <name> (<value>) -- "
    int32_t value;
};

// The options a new socket gets for its endpoint, in order; those without a
// name are not set.
std::array<liveness_option, 5> liveness_options(void* context, const std::string& url, bool binds);

}  // namespace vorzmq::internal

#endif  // VORZMQ_SRC_HEARTBEAT_H

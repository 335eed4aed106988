// SPDX-License-Identifier: MIT
#include "wire.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include <zmq.h>

namespace vorzmq::internal {
namespace {

// Contexts with an interval other than the default; read when a socket is
// made, never on a message's path.
std::mutex settings_lock;
std::vector<std::pair<void*, int32_t>> settings;

}  // namespace

void set_heartbeat_interval(void* context, int32_t interval_ms)
{
    const std::lock_guard<std::mutex> held(settings_lock);
    const auto found = std::find_if(settings.begin(), settings.end(),
                                    [context](const auto& setting) { return setting.first == context; });
    if (found != settings.end()) {
        found->second = interval_ms;
    } else {
        settings.emplace_back(context, interval_ms);
    }
}

int32_t heartbeat_interval(void* context)
{
    const std::lock_guard<std::mutex> held(settings_lock);
    for (const auto& [owner, interval_ms] : settings) {
        if (owner == context) {
            return interval_ms;
        }
    }
    return default_heartbeat_interval_ms;
}

void forget_heartbeat_interval(void* context)
{
    const std::lock_guard<std::mutex> held(settings_lock);
    std::erase_if(settings, [context](const auto& setting) { return setting.first == context; });
}

std::array<liveness_option, 5> liveness_options(void* context, const std::string& url, bool binds)
{
    std::array<liveness_option, 5> options{};
    if (binds) {
        options[0] = {ZMQ_HANDSHAKE_IVL, "Handshake Interval", handshake_limit_ms};
    }
    // Over ipc the kernel reports a vanished peer at once; over tcp nothing
    // does, without traffic.
    const int32_t interval_ms = url.starts_with("tcp://") ? heartbeat_interval(context) : 0;
    if (interval_ms > 0) {
        // Silent for three intervals: dropped, here and (through the TTL)
        // at the peer. Reconnection then starts at once; an attempt towards
        // a host that does not answer is given up after half of that.
        const int32_t timeout_ms = 3 * interval_ms;
        options[1] = {ZMQ_HEARTBEAT_IVL, "Heartbeat Interval", interval_ms};
        options[2] = {ZMQ_HEARTBEAT_TIMEOUT, "Heartbeat Timeout", timeout_ms};
        options[3] = {ZMQ_HEARTBEAT_TTL, "Heartbeat TTL", timeout_ms};
        if (!binds) {
            options[4] = {ZMQ_CONNECT_TIMEOUT, "Connect Timeout", timeout_ms / 2};
        }
    }
    return options;
}

}  // namespace vorzmq::internal

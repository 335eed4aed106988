// SPDX-License-Identifier: MIT
// What the proxies watch besides the messages libzmq moves: the proxy's own
// counts (its STATISTICS) and the connections and handshakes of their
// upstream publishers or servers (a socket monitor), told on stderr and
// carried into --metrics.
#ifndef VORZMQ_TOOL_PROXY_WATCH_H
#define VORZMQ_TOOL_PROXY_WATCH_H

#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "metrics.h"

namespace vorzmq_tool {

// The proxy's STATISTICS reply: 8 counters, whole messages and their bytes.
struct proxy_statistics {
    uint64_t frontend_messages_in, frontend_bytes_in, frontend_messages_out, frontend_bytes_out;
    uint64_t backend_messages_in, backend_bytes_in, backend_messages_out, backend_bytes_out;

    // The counts of an earlier run of the proxy added: each run counts from 0.
    proxy_statistics plus(const proxy_statistics& earlier) const
    {
        return {frontend_messages_in + earlier.frontend_messages_in, frontend_bytes_in + earlier.frontend_bytes_in,
                frontend_messages_out + earlier.frontend_messages_out, frontend_bytes_out + earlier.frontend_bytes_out,
                backend_messages_in + earlier.backend_messages_in,   backend_bytes_in + earlier.backend_bytes_in,
                backend_messages_out + earlier.backend_messages_out, backend_bytes_out + earlier.backend_bytes_out};
    }
};

// The proxy's series, null without --metrics. The message counts come from
// STATISTICS, asked once a second, so the message path pays nothing.
struct proxy_counts {
    // The roles of what each side takes in and sends out.
    proxy_counts(service_metrics& metrics, const char* frontend_in, const char* frontend_out, const char* backend_in,
                 const char* backend_out, const char* upstreams)
        : frontend{metrics.counter(metric::messages_received, frontend_in),
                   metrics.counter(metric::bytes_received, frontend_in),
                   metrics.counter(metric::messages_sent, frontend_out),
                   metrics.counter(metric::bytes_sent, frontend_out)},
          backend{metrics.counter(metric::messages_received, backend_in),
                  metrics.counter(metric::bytes_received, backend_in),
                  metrics.counter(metric::messages_sent, backend_out),
                  metrics.counter(metric::bytes_sent, backend_out)},
          peers(metrics.gauge(metric::connected_peers, upstreams)),
          not_admitted(metrics.counter(metric::handshake_failures, "not_admitted")),
          protocol_error(metrics.counter(metric::handshake_failures, "protocol_error")),
          no_detail(metrics.counter(metric::handshake_failures, "no_detail"))
    {
    }
    bool enabled() const { return peers != nullptr; }

    void update(const proxy_statistics& now)
    {
        if (refused_clients) {
            refused_clients->update();
        }
        const auto add = [](prometheus::Counter* series, uint64_t current, uint64_t before) {
            count(series, static_cast<double>(current - before));
        };
        add(frontend.messages_in, now.frontend_messages_in, last.frontend_messages_in);
        add(frontend.bytes_in, now.frontend_bytes_in, last.frontend_bytes_in);
        add(frontend.messages_out, now.frontend_messages_out, last.frontend_messages_out);
        add(frontend.bytes_out, now.frontend_bytes_out, last.frontend_bytes_out);
        add(backend.messages_in, now.backend_messages_in, last.backend_messages_in);
        add(backend.bytes_in, now.backend_bytes_in, last.backend_bytes_in);
        add(backend.messages_out, now.backend_messages_out, last.backend_messages_out);
        add(backend.bytes_out, now.backend_bytes_out, last.backend_bytes_out);
        last = now;
    }

    struct side {
        prometheus::Counter* messages_in;
        prometheus::Counter* bytes_in;
        prometheus::Counter* messages_out;
        prometheus::Counter* bytes_out;
    };
    side frontend;
    side backend;
    prometheus::Gauge* peers;
    prometheus::Counter* not_admitted;
    prometheus::Counter* protocol_error;
    prometheus::Counter* no_detail;
    std::unique_ptr<refusal_follower> refused_clients;  // of the allow list on the bound side
    proxy_statistics last{};
};

// One event of a libzmq socket monitor: its number and value, then the
// endpoint it is about.
struct monitor_event {
    uint16_t event = 0;
    uint32_t value = 0;
    std::string url;
};

// Takes the next event waiting on `monitor`; false when none is.
inline bool take_monitor_event(void* monitor, monitor_event& taken)
{
    zmq_msg_t head;
    zmq_msg_init(&head);
    if (zmq_msg_recv(&head, monitor, ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&head);
        return false;
    }
    taken.event = 0;
    taken.value = 0;
    if (zmq_msg_size(&head) >= sizeof taken.event + sizeof taken.value) {
        std::memcpy(&taken.event, zmq_msg_data(&head), sizeof taken.event);
        std::memcpy(&taken.value, static_cast<const char*>(zmq_msg_data(&head)) + sizeof taken.event,
                    sizeof taken.value);
    }
    zmq_msg_close(&head);
    char address[512] = {};
    const int size = zmq_recv(monitor, address, sizeof address - 1, 0);
    taken.url.assign(address, size > 0 ? std::min<size_t>(static_cast<size_t>(size), sizeof address - 1) : 0);
    return true;
}

// Which servers a balancer's DEALER is connected to, from the events of its
// monitor; read by the controller thread only.
class server_states {
public:
    // The events name a server by its resolved address, which may not be
    // how the command line named it. Over CURVE a server is up once its
    // handshake succeeded, and a failed one is told.
    // `noun` names the upstreams: "server" or "publisher".
    // The servers are listed in the order given.
    server_states(void* monitor, const std::vector<std::string>& urls, bool curve, std::string noun,
                  std::shared_ptr<proxy_counts> counts)
        : monitor(monitor), server_count(urls.size()), curve(curve), noun(std::move(noun)), counts(std::move(counts))
    {
        for (const std::string& url : urls) {
            states.push_back({url, false, nullptr, 0, {}, false});
        }
    }

    // The events to watch. A server is up once its handshake succeeded,
    // in clear text too: a clear-text proxy meeting a CURVE server
    // connects, then fails the handshake.
    static int events()
    {
        return ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL |
               ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH;
    }

    void* socket() const { return monitor; }

    // Why a handshake with an upstream failed, in words; null for events
    // that are no failure.
    const char* failure_text(uint16_t event, uint32_t value) const
    {
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH) {
            return "refused this proxy's key (not in its allow-list)";
        }
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL && value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH) {
            return curve ? "serves clear text, not CURVE (drop --curve-server for it)"
                         : "wants CURVE (give --curve-server with its public certificate)";
        }
        if (event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL || event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL) {
            return "failed the CURVE handshake (a wrong --curve-server, or this proxy is not admitted)";
        }
        return nullptr;
    }

    // Takes the events waiting; each change of a server is told on stderr.
    void read(const std::string& command)
    {
        monitor_event taken;
        while (take_monitor_event(monitor, taken)) {
            const uint16_t event = taken.event;
            const uint32_t value = taken.value;
            const std::string& url = taken.url;
            const bool up = event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED;
            const char* refusal = failure_text(event, value);
            if (!up && event != ZMQ_EVENT_DISCONNECTED && refusal == nullptr) {
                continue;
            }
            count(event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH       ? counts->not_admitted
                  : event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL ? counts->protocol_error
                  : event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL ? counts->no_detail
                                                                  : nullptr);
            auto state = std::find_if(states.begin(), states.end(), [&](const auto& entry) { return entry.url == url; });
            if (state == states.end()) {
                state = states.insert(states.end(), {url, false, nullptr, 0, {}, false});
            }
            if (refusal != nullptr) {
                // libzmq gives up on a connection whose handshake was refused
                // or broke the protocol; the proxy tries it again itself.
                if (event != ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL) {
                    schedule_retry(*state);
                }
                // Told once until the server's state changes. libzmq gives
                // no detail when the other side closed first, which may
                // follow or precede the cause: that never replaces a cause.
                const bool vague = event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL;
                if (state->refusal != refusal && !(vague && state->refusal != nullptr)) {
                    state->refusal = refusal;
                    std::cerr << command << ": " << noun << " " << url << " " << refusal
                              << "; trying again" << std::endl;
                }
                continue;
            }
            if (up) {
                state->refusal = nullptr;
                state->refusals = 0;
            }
            if (state->up != up) {
                state->up = up;
                std::cerr << command << ": " << noun << " " << url << (up ? " connected" : " disconnected") << std::endl;
            }
        }
        set(counts->peers, static_cast<double>(up_count()));
    }

    // Once the pause after a refusal is over for an upstream: every
    // upstream that is not up, to be connected again all at once. libzmq
    // frees the connection of a refused upstream but keeps its endpoint,
    // which zmq_disconnect then ends by its address: removed all together
    // before any new connection is made, no such address can have been
    // taken by a new connection. Empty while no pause is over.
    std::vector<std::string> take_due_retries()
    {
        const auto now = std::chrono::steady_clock::now();
        if (std::none_of(states.begin(), states.end(),
                         [&](const server_state& state) { return state.retry_pending && now >= state.retry_at; })) {
            return {};
        }
        std::vector<std::string> again;
        for (server_state& state : states) {
            if (!state.up) {
                state.retry_pending = false;
                again.push_back(state.url);
            }
        }
        return again;
    }

    size_t up_count() const
    {
        return static_cast<size_t>(std::count_if(states.begin(), states.end(), [](const auto& state) { return state.up; }));
    }

    std::string summary() const
    {
        std::string up_list;
        size_t up = 0;
        for (const server_state& state : states) {
            if (state.up) {
                ++up;
                up_list += ' ' + state.url;
            }
        }
        std::string refused_list;
        for (const server_state& state : states) {
            if (!state.up && state.refusal != nullptr) {
                refused_list += ' ' + state.url;
            }
        }
        return "; " + noun + "s up " + std::to_string(up) + " of " + std::to_string(server_count) + (up > 0 ? ":" : "") +
               up_list + (refused_list.empty() ? "" : "; refusing this proxy:" + refused_list);
    }

private:
    // The pause before a refused upstream is tried again: doubling from a
    // quarter of a second to 4 s, so that a key copied into its allow list
    // is admitted within a few seconds, without a handshake a second.
    static constexpr std::chrono::milliseconds first_retry_pause{250};
    static constexpr std::chrono::milliseconds longest_retry_pause{4000};

    struct server_state {
        std::string url;
        bool up;
        const char* refusal;  // the last failed handshake told, until it is up
        unsigned refusals;    // in a row
        std::chrono::steady_clock::time_point retry_at;
        bool retry_pending;
    };

    static void schedule_retry(server_state& state)
    {
        if (state.retry_pending) {
            return;
        }
        const unsigned doublings = std::min(state.refusals, 4u);
        state.refusals += 1;
        state.retry_at = std::chrono::steady_clock::now() + std::min(first_retry_pause * (1 << doublings),
                                                                     std::chrono::milliseconds(longest_retry_pause));
        state.retry_pending = true;
    }

    void* monitor;
    size_t server_count;
    bool curve;
    std::string noun;
    std::shared_ptr<proxy_counts> counts;
    std::vector<server_state> states;
};

// Clients whose handshake failed at the bound side: one in clear text at a
// CURVE endpoint, or the other way round, which libzmq drops without a
// word. Whichever side sees the mismatch first closes the connection, so
// the other may learn only that the handshake ended early: both are told.
// On stderr when the first comes, then at most once every 30 s with their
// count. Read by the controller thread only.
class client_watch {
public:
    client_watch(void* monitor, bool curve) : monitor(monitor), curve(curve) {}

    static int events() { return ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL; }
    void* socket() const { return monitor; }

    void read(const std::string& command)
    {
        monitor_event taken;
        while (take_monitor_event(monitor, taken)) {
            url = taken.url;
            ++(taken.event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL          ? ended_early
               : taken.value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH ? mismatched
                                                                            : broken);
        }
        const unsigned long untold = mismatched + ended_early + broken;
        const auto now = std::chrono::steady_clock::now();
        if (untold == 0 || (told && now - told_at < std::chrono::seconds(30))) {
            return;
        }
        std::cerr << command << ": failed handshakes at " << url << ": " << untold;
        const auto cause = [&](unsigned long count, const char* text) {
            if (count != 0) {
                std::cerr << "; " << count << " " << text;
            }
        };
        cause(mismatched, curve ? "in clear text at this CURVE endpoint" : "over CURVE at this clear-text endpoint");
        cause(ended_early, curve ? "ended by the client (clear text at this CURVE endpoint, a wrong server key, or a "
                                   "client that gave up)"
                                 : "ended by the client (CURVE at this clear-text endpoint, or a client that gave up)");
        cause(broken, "that broke the protocol");
        std::cerr << (told ? " (in the last 30 s or more)" : "") << std::endl;
        mismatched = ended_early = broken = 0;
        told = true;
        told_at = now;
    }

private:
    void* monitor;
    bool curve;
    std::string url;
    unsigned long mismatched = 0;
    unsigned long ended_early = 0;
    unsigned long broken = 0;
    bool told = false;
    std::chrono::steady_clock::time_point told_at{};
};

}  // namespace vorzmq_tool

#endif

// SPDX-License-Identifier: MIT
// What the proxies watch besides the messages libzmq moves: the proxy's own
// counts (its STATISTICS) and the connections and handshakes of their
// upstream publishers or servers (a socket monitor), told on stderr and
// carried into --metrics.
#ifndef VORZMQ_TOOL_PROXY_WATCH_H
#define VORZMQ_TOOL_PROXY_WATCH_H

#include <zmq.h>

#include <algorithm>
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

// Which servers a balancer's DEALER is connected to, from the events of its
// monitor; read by the controller thread only.
class server_states {
public:
    // The events name a server by its resolved address, which may not be
    // how the command line named it. Over CURVE a server is up once its
    // handshake succeeded, and a failed one is told.
    // `noun` names the upstreams: "server" or "publisher".
    server_states(void* monitor, size_t server_count, bool curve, std::string noun,
                  std::shared_ptr<proxy_counts> counts)
        : monitor(monitor), server_count(server_count), curve(curve), noun(std::move(noun)), counts(std::move(counts))
    {
    }

    // The events to watch.
    static int events(bool curve)
    {
        return ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED |
               (curve ? ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL |
                            ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH
                      : 0);
    }

    void* socket() const { return monitor; }

    // Takes the events waiting; each change of a server is told on stderr.
    void read(const std::string& command)
    {
        for (;;) {
            zmq_msg_t head;
            zmq_msg_init(&head);
            if (zmq_msg_recv(&head, monitor, ZMQ_DONTWAIT) < 0) {
                zmq_msg_close(&head);
                set(counts->peers, static_cast<double>(up_count()));
                return;
            }
            uint16_t event = 0;
            if (zmq_msg_size(&head) >= sizeof event) {
                std::memcpy(&event, zmq_msg_data(&head), sizeof event);
            }
            zmq_msg_close(&head);
            char address[512] = {};
            const int size = zmq_recv(monitor, address, sizeof address - 1, 0);
            const std::string url(address, size > 0 ? std::min<size_t>(static_cast<size_t>(size), sizeof address - 1) : 0);
            const bool up = event == (curve ? ZMQ_EVENT_HANDSHAKE_SUCCEEDED : ZMQ_EVENT_CONNECTED);
            const char* refusal = event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH
                                      ? "refused this proxy's key (not in its allow-list)"
                                  : event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL ||
                                            event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL
                                      ? "failed the CURVE handshake (a wrong --curve-server, or this proxy is not "
                                        "admitted)"
                                      : nullptr;
            if (!up && event != ZMQ_EVENT_DISCONNECTED && refusal == nullptr) {
                continue;
            }
            count(event == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH       ? counts->not_admitted
                  : event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL ? counts->protocol_error
                  : event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL ? counts->no_detail
                                                                  : nullptr);
            auto state = std::find_if(states.begin(), states.end(), [&](const auto& entry) { return entry.url == url; });
            if (state == states.end()) {
                state = states.insert(states.end(), {url, false, nullptr});
            }
            if (refusal != nullptr) {
                // Told once until the server's state changes: libzmq may try
                // again a few times a second.
                if (state->refusal != refusal) {
                    state->refusal = refusal;
                    std::cerr << command << ": " << noun << " " << url << " " << refusal << std::endl;
                }
                continue;
            }
            if (up) {
                state->refusal = nullptr;
            }
            if (state->up != up) {
                state->up = up;
                std::cerr << command << ": " << noun << " " << url << (up ? " connected" : " disconnected") << std::endl;
            }
        }
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
        return "; " + noun + "s up " + std::to_string(up) + " of " + std::to_string(server_count) + (up > 0 ? ":" : "") +
               up_list;
    }

private:
    struct server_state {
        std::string url;
        bool up;
        const char* refusal;  // the last failed handshake told, until it is up
    };
    void* monitor;
    size_t server_count;
    bool curve;
    std::string noun;
    std::shared_ptr<proxy_counts> counts;
    std::vector<server_state> states;
};

}  // namespace vorzmq_tool

#endif

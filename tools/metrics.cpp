// SPDX-License-Identifier: MIT
#include "metrics.h"

#include <pthread.h>
#include <signal.h>

#include <exception>
#include <iostream>
#include <map>
#include <vector>

#include <prometheus/exposer.h>
#include <prometheus/registry.h>

#include "tool_runtime.h"
#include "vorzmq.h"

namespace vorzmq_tool {
namespace {

struct family_text {
    const char* name;
    const char* help;
    const char* label;
    bool gauge;
};

// Names in base units, counters ending in _total; no label ever carries a
// payload, a topic, a key or a peer's address.
const std::map<metric, family_text> families = {
    {metric::messages_received,
     {"vorzmq_messages_received_total", "Messages received, by the role of the socket that took them.", "role",
      false}},
    {metric::messages_sent,
     {"vorzmq_messages_sent_total", "Messages sent, by the role of the socket that sent them.", "role", false}},
    {metric::bytes_received,
     {"vorzmq_bytes_received_total", "Bytes of the messages received, by the role of the socket.", "role", false}},
    {metric::bytes_sent,
     {"vorzmq_bytes_sent_total", "Bytes of the messages sent, by the role of the socket.", "role", false}},
    {metric::messages_dropped,
     {"vorzmq_messages_dropped_total",
      "Messages a subscriber missed because its queue was full, counted once per message.", "role", false}},
    {metric::connected_peers,
     {"vorzmq_connected_peers", "Upstream peers connected now, from the socket's monitor.", "role", true}},
    {metric::handshake_failures,
     {"vorzmq_handshake_failures_total",
      "Failed handshakes: upstream peers that refused this service, and clients its allow list refused.", "reason",
      false}},
    {metric::relay_requests_refused,
     {"vorzmq_relay_requests_refused_total", "Re-broadcast requests the relay refused, by reason.", "reason",
      false}},
};

}  // namespace

struct service_metrics::state {
    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
    std::unique_ptr<prometheus::Exposer> exposer;
    std::map<metric, prometheus::Family<prometheus::Counter>*> counters;
    std::map<metric, prometheus::Family<prometheus::Gauge>*> gauges;
};

service_metrics::service_metrics(const std::string& address, const std::string& command)
{
    if (address.empty()) {
        return;
    }
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
        // Without a host the exposer would listen on every interface.
        throw usage_error("--metrics: expected HOST:PORT, such as 127.0.0.1:9464, got '" + address + "'");
    }
    self = std::make_unique<state>();
    for (const auto& [family, text] : families) {
        if (text.gauge) {
            self->gauges[family] = &prometheus::BuildGauge().Name(text.name).Help(text.help).Register(*self->registry);
        } else {
            self->counters[family] =
                &prometheus::BuildCounter().Name(text.name).Help(text.help).Register(*self->registry);
        }
    }
    // The exposer's threads leave stop signals to the command's own.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        self->exposer = std::make_unique<prometheus::Exposer>(address, 1);
    } catch (const std::exception& error) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw command_failure("cannot serve metrics on " + address + ": " + error.what());
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    self->exposer->RegisterCollectable(self->registry);
    const std::vector<int> ports = self->exposer->GetListeningPorts();
    const std::string host = address.substr(0, colon);
    std::cerr << command << ": metrics at http://" << host << ':' << (ports.empty() ? 0 : ports.front())
              << "/metrics" << std::endl;
}

service_metrics::~service_metrics() = default;

refusal_follower::refusal_follower(service_metrics& metrics, const vorzmq_authenticator* allow_list)
    : allow_list(allow_list),
      series(allow_list != nullptr ? metrics.counter(metric::handshake_failures, "client_refused") : nullptr)
{
}

void refusal_follower::update()
{
    if (series == nullptr) {
        return;
    }
    const uint64_t now = allow_list->refusals();
    series->Increment(static_cast<double>(now - seen));
    seen = now;
}

prometheus::Counter* service_metrics::counter(metric family, const std::string& label)
{
    if (!self) {
        return nullptr;
    }
    return &self->counters.at(family)->Add({{families.at(family).label, label}});
}

prometheus::Gauge* service_metrics::gauge(metric family, const std::string& label)
{
    if (!self) {
        return nullptr;
    }
    return &self->gauges.at(family)->Add({{families.at(family).label, label}});
}

}  // namespace vorzmq_tool

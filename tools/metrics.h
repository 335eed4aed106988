// SPDX-License-Identifier: MIT
// --metrics HOST:PORT: a service's counts in the Prometheus text exposition
// at http://HOST:PORT/metrics, served by prometheus-cpp's pull exposer. The
// families, their help texts and their label are listed once, here and in
// metrics.cpp; docs/operations.md describes them for operators.
#ifndef VORZMQ_TOOL_METRICS_H
#define VORZMQ_TOOL_METRICS_H

#include <cstdint>
#include <memory>
#include <string>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>

class vorzmq_authenticator;

namespace vorzmq_tool {

enum class metric {
    messages_received,       // counter, by role
    messages_sent,           // counter, by role
    bytes_received,          // counter, by role
    bytes_sent,              // counter, by role
    messages_dropped,        // counter, by role: a subscriber's queue was full
    connected_peers,         // gauge, by role
    handshake_failures,      // counter, by reason
    relay_requests_refused,  // counter, by reason
};

class service_metrics {
public:
    // Serves the exposition at `address` (HOST:PORT; port 0 picks a free
    // one) from threads that leave stop signals to the caller's; empty:
    // nothing is served and every series below is null. Throws usage_error
    // for an address without a host, command_failure when it cannot listen.
    service_metrics(const std::string& address, const std::string& command);
    ~service_metrics();
    service_metrics(const service_metrics&) = delete;
    service_metrics& operator=(const service_metrics&) = delete;

    // The series of `family` with its one label (role or reason) set to
    // `label`, created at 0 so that it is in the exposition from the start;
    // null without --metrics.
    prometheus::Counter* counter(metric family, const std::string& label);
    prometheus::Gauge* gauge(metric family, const std::string& label);

private:
    struct state;
    std::unique_ptr<state> self;
};

// Carries an allow list's refusals, which its authenticator counts, into
// vorzmq_handshake_failures_total{reason="client_refused"}; update() at
// least once a second, from any one thread.
class refusal_follower {
public:
    refusal_follower(service_metrics& metrics, const vorzmq_authenticator* allow_list);
    void update();
    // A wait of the service's loop, shortened to a second while following.
    int wait_ms(int wanted) const { return series == nullptr || (wanted >= 0 && wanted < 1000) ? wanted : 1000; }

private:
    const vorzmq_authenticator* allow_list;
    prometheus::Counter* series = nullptr;
    uint64_t seen = 0;
};

inline void count(prometheus::Counter* series, double amount = 1)
{
    if (series != nullptr) {
        series->Increment(amount);
    }
}

inline void set(prometheus::Gauge* series, double value)
{
    if (series != nullptr) {
        series->Set(value);
    }
}

}  // namespace vorzmq_tool

#endif

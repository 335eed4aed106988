// SPDX-License-Identifier: MIT
// vorzmq relay: the re-broadcast service. Each request is checked, published
// and only then answered "ok"; anything else gets "error: " and the reason.
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include <log4cxx/logger.h>

#include "commands.h"
#include "message_format.h"
#include "metrics.h"
#include "relay_request.h"
#include "security.h"
#include "tool_runtime.h"
#include "vorzmq.h"
#include "wire.h"

namespace vorzmq_tool {
namespace {

std::string without_trailing_line_feeds(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// A peer can send bad requests as fast as it likes: the WARN of each reason
// is written at most once a second, and the requests held back in between
// are counted in the next record, or in a record of their own once the
// relay has been idle for a second.
class ignored_request_log {
public:
    void ignored(const std::string& text, const std::string& reason)
    {
        vorzmq::internal::record_pace& pace = paces[reason];
        if (!pace.due(std::chrono::steady_clock::now())) {
            return;
        }
        const std::size_t more = pace.take_held_back();
        LOG4CXX_WARN(logger, "Ignored Re-Broadcast Request: " << excerpt(without_trailing_line_feeds(text)) << " -- "
                                                              << reason << held_back(more));
    }
    // How long the relay may wait before held-back counts are due (-1: none held).
    int wait_ms() const
    {
        for (const auto& [reason, pace] : paces) {
            if (pace.holding()) {
                return 1000;
            }
        }
        return -1;
    }
    // Records the counts held back long enough (all of them at the end of
    // time, when the relay stops).
    void flush_if_due(std::chrono::steady_clock::time_point now)
    {
        for (auto& [reason, pace] : paces) {
            if (const std::size_t more = pace.held_back_due(now)) {
                LOG4CXX_WARN(logger, "Ignored " << more << " More Re-Broadcast Request" << (more == 1 ? "" : "s")
                                                << " Since the Last Record -- " << reason);
            }
        }
    }

private:
    static std::string held_back(std::size_t more)
    {
        return more == 0 ? "" : " -- and " + std::to_string(more) + " more since the last record";
    }
    std::map<std::string, vorzmq::internal::record_pace> paces;
};

// The relay's series; all null without --metrics.
struct relay_counts {
    explicit relay_counts(service_metrics& metrics)
        : requests(metrics.counter(metric::messages_received, "requests")),
          request_bytes(metrics.counter(metric::bytes_received, "requests")),
          publications(metrics.counter(metric::messages_sent, "publications")),
          publication_bytes(metrics.counter(metric::bytes_sent, "publications")),
          dropped(metrics.counter(metric::messages_dropped, "publications")),
          invalid(metrics.counter(metric::relay_requests_refused, "invalid")),
          too_long(metrics.counter(metric::relay_requests_refused, "too_long")),
          not_published(metrics.counter(metric::relay_requests_refused, "not_published"))
    {
    }
    prometheus::Counter* requests;
    prometheus::Counter* request_bytes;
    prometheus::Counter* publications;
    prometheus::Counter* publication_bytes;
    prometheus::Counter* dropped;
    prometheus::Counter* invalid;
    prometheus::Counter* too_long;
    prometheus::Counter* not_published;

    void refused(const std::string& reason) const
    {
        count(reason == "too long" ? too_long : reason == "not published" ? not_published : invalid);
    }
};

// Publishes one re-broadcast request if it is well-formed, then answers it:
// "ok" only once it was published, otherwise the reason, so that no
// requester waits in vain or believes a dropped request delivered. The
// length is checked first: parsing a long request is the costly part.
void relay_one(vorzmq_reply_socket& requests, vorzmq_pub_socket& publisher, const std::string& text,
               std::size_t max_request, ignored_request_log& ignored, const relay_counts& counts, bool print)
{
    const bool too_long = text.size() > max_request;
    const relay_request request = too_long ? relay_request{} : examine_relay_request(text);
    std::string reason = too_long ? "too long" : request.reason;
    if (reason.empty()) {
        // The topic already ends in "$", so subscribers of the bare topic with
        // an exact filter receive it; the library then adds no second "$".
        publisher.send(request.topic, request.data);
        // Dropped means published to every subscriber but those whose queue
        // is full (a WARN names the loss): one subscriber that stopped
        // reading must not fail every request.
        const vorzmq_result result = vorzmq_last_result();
        if (result != vorzmq_result::ok && result != vorzmq_result::dropped) {
            reason = "not published";  // the library's record says why
        } else {
            count(counts.publications);
            count(counts.publication_bytes, static_cast<double>(request.topic.size() + request.data.size() + 1));
            if (result == vorzmq_result::dropped) {
                count(counts.dropped);
            }
        }
    }
    requests.send(relay_reply(reason));
    if (!reason.empty()) {
        counts.refused(reason);
        ignored.ignored(text, reason);
        return;
    }
    count(counts.requests);
    count(counts.request_bytes, static_cast<double>(text.size()));
    if (!print) {
        return;
    }
    const std::string& topic = request.topic;
    const std::string bare_topic = (!topic.empty() && topic.back() == '$') ? topic.substr(0, topic.size() - 1) : topic;
    std::string line;
    if (bare_topic.empty()) {
        line = "(no topic)";
    }
    append_text(line, bare_topic);  // decoded from JSON, it may hold a line feed
    line += ' ';
    line += request.data;
    print_line(line);
}

}  // namespace

int run_relay(const relay_options& options)
{
    const std::string listen_url = resolve_endpoint(options.listen);
    const std::string publish_url = resolve_endpoint(options.publish);
    const curve_keys keys = load_curve_keys(options.curve, "relay");
    require_ipc_directory(listen_url);
    require_ipc_directory(publish_url);
    handle_stop_signals_waking_poller();
    service_metrics metrics(options.metrics, "vorzmq relay");
    const relay_counts counts(metrics);
    vorzmq_context context;
    {
        const std::unique_ptr<vorzmq_authenticator> allow_list = start_allow_list(context, keys);
        refusal_follower refused_clients(metrics, allow_list.get());
        vorzmq_reply_socket requests(context, listen_url);
        vorzmq_pub_socket publisher(context, publish_url);
        make_curve_server(requests, keys);
        make_curve_server(publisher, keys);
        const std::size_t max_request = static_cast<std::size_t>(options.max_request_kib) * 1024;
        const long long budget_messages = static_cast<long long>(options.memory_budget_mib) * 1024 /
                                          options.max_request_kib;
        const int mark = static_cast<int>(
            std::max(1LL, options.hwm == 0 ? budget_messages : std::min<long long>(options.hwm, budget_messages)));
        publisher.set_high_water_mark(mark);
        publisher.set_linger_ms(options.linger_ms);
        const std::string publishing = bind_or_fail(publisher, publish_url);
        const std::string listening = bind_or_fail(requests, listen_url);
        std::cerr << "vorzmq relay: re-broadcasting requests from " << listening << " on " << publishing
                  << curve_note(keys) << '\n'
                  << "vorzmq relay: up to " << mark << " messages of at most " << options.max_request_kib
                  << " KiB queued for each subscriber (--memory-budget " << options.memory_budget_mib << ")\n";
        // Under systemd (Type=notify), the unit counts as started only now.
        sd_notify(0, "READY=1");
        // Waits without limit: a stop signal ends the wait at once.
        vorzmq_poller poller;
        poller.add(requests);
        ignored_request_log ignored;
        while (!stop_requested()) {
            if (poller.wait(refused_clients.wait_ms(ignored.wait_ms())) < 0) {
                throw command_failure("cannot wait for requests: " + failure_reason());
            }
            refused_clients.update();
            // Whole, so that a request with a zero byte is refused rather
            // than published cut; answered only once its fate is known.
            std::string request;
            if (poller.readable(requests) && requests.receive(request, false)) {
                relay_one(requests, publisher, request, max_request, ignored, counts, options.print);
            }
            ignored.flush_if_due(std::chrono::steady_clock::now());
        }
        ignored.flush_if_due(std::chrono::steady_clock::time_point::max());
        // Only a stop signal ends the loop: a normal end, whatever was left
        // for a slow subscriber.
        sd_notify(0, "STOPPING=1");
        const std::string dropped = leave_when_read(publishing, options.linger_ms);
        if (!dropped.empty()) {
            LOG4CXX_WARN(logger, "Stopped -- " << dropped);
            exit_dropping_unsent(0);
        }
    }
    return 0;
}

}  // namespace vorzmq_tool

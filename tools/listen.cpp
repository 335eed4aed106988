// SPDX-License-Identifier: MIT
#include "listen.h"

#include <csignal>
#include <iostream>
#include <memory>

#include <zmq.h>

#include "message_input.h"
#include "metrics.h"
#include "security.h"
#include "tool_runtime.h"
#include "vorzmq.h"

namespace vorzmq_tool {

namespace {

// A socket with the name the user gave it, which every line repeats.
template <typename socket_type>
struct named {
    named(vorzmq_context& context, const std::string& given)
        : given(given), url(resolve_endpoint(given)), socket(context, url)
    {
    }
    std::string given;
    std::string url;
    socket_type socket;
    refusal_pacer refusals{"listen", url};
};

// Creates the socket now, so that a bad endpoint ends the command with its
// reason instead of an ERROR before every wait.
template <typename socket_type>
void create_or_fail(socket_type& socket, const std::string& verb, const std::string& url)
{
    socket.init_if_necessary();
    if (vorzmq_last_result() != vorzmq_result::ok) {
        throw command_failure("cannot " + verb + " " + url + ": " + failure_reason());
    }
}

// Writes the line of one message at once, so that a pipe sees it as soon as
// it came. Returns whether it was written.
bool print(line_output& out, output_format format, const message_line& line)
{
    append_line(out.pending, format, line);
    return out.write_pending() == 0;
}

std::string describe_topics(const std::vector<std::string>& topics, bool prefix)
{
    if (topics.empty()) {
        return "every topic";
    }
    std::string described;
    for (const std::string& topic : topics) {
        described += (described.empty() ? "" : ", ") + std::string(prefix ? "topics starting with " : "topic ") +
                     "\"" + topic + "\"";
    }
    return described;
}

}  // namespace

int run_listen(const listen_options& options)
{
    if (options.queues.empty() && options.subscribes.empty()) {
        throw usage_error("nothing to listen to: give at least one --serve or --subscribe");
    }
    if (!options.curve.allow_dir.empty() && options.queues.empty()) {
        throw usage_error("--allow admits clients of the --serve queues: give at least one --serve");
    }
    if (!options.curve.upstream_server_files.empty() && options.subscribes.empty()) {
        throw usage_error("--curve-server is for the --subscribe connections: give at least one --subscribe");
    }
    if (!options.curve.secret_file.empty() && options.queues.empty() && options.curve.upstream_server_files.empty()) {
        throw usage_error("--curve-secret for --subscribe connections requires --curve-server");
    }
    const curve_keys keys = load_curve_keys(options.curve, "listen");
    if (!options.subscribes.empty()) {
        keys_for_upstream(keys, 0, options.subscribes.size());  // a wrong count of --curve-server, told now
    }
    // Every endpoint is checked before anything is bound.
    for (const std::string& queue : options.queues) {
        require_ipc_directory(resolve_endpoint(queue));
    }
    for (const std::vector<std::string>& subscription : options.subscribes) {
        resolve_endpoint(subscription.front());
    }
    handle_stop_signals_waking_poller();
    // A closed standard output is a failed write, reported and answered.
    signal(SIGPIPE, SIG_IGN);
    service_metrics metrics(options.metrics, "vorzmq listen");
    prometheus::Counter* const requests = metrics.counter(metric::messages_received, "requests");
    prometheus::Counter* const request_bytes = metrics.counter(metric::bytes_received, "requests");
    prometheus::Counter* const replies = metrics.counter(metric::messages_sent, "replies");
    prometheus::Counter* const publications = metrics.counter(metric::messages_received, "publications");
    prometheus::Counter* const publication_bytes = metrics.counter(metric::bytes_received, "publications");
    vorzmq_context context;
    std::size_t received = 0;
    std::size_t oversized = 0;
    {
        const std::unique_ptr<vorzmq_authenticator> allow_list = start_allow_list(context, keys);
        refusal_follower refused_clients(metrics, allow_list.get());
        std::vector<std::unique_ptr<named<vorzmq_reply_socket>>> servers;
        std::vector<std::unique_ptr<named<vorzmq_sub_socket>>> subscribers;
        for (const std::string& queue : options.queues) {
            servers.push_back(std::make_unique<named<vorzmq_reply_socket>>(context, queue));
            make_curve_server(servers.back()->socket, keys);
            create_or_fail(servers.back()->socket, "bind", servers.back()->url);
            std::cerr << "vorzmq listen: serving " << servers.back()->url << curve_note(keys) << '\n';
        }
        for (const std::vector<std::string>& subscription : options.subscribes) {
            subscribers.push_back(std::make_unique<named<vorzmq_sub_socket>>(context, subscription.front()));
            vorzmq_sub_socket& subscriber = subscribers.back()->socket;
            // Nothing it sends is worth waiting for at exit: without this,
            // a subscription still queued for an absent publisher would
            // hold the exit for the linger period.
            subscriber.set_linger_ms(0);
            make_curve_client(subscriber, keys_for_upstream(keys, subscribers.size() - 1, options.subscribes.size()));
            // Never blocks: a CURVE subscription is also received from
            // when not readable, to learn of a refusal, which the library
            // watches for only with a time-out.
            subscriber.set_receive_timeout_ms(0);
            subscriber.set_receive_flags(ZMQ_DONTWAIT);
            create_or_fail(subscriber, "connect to", subscribers.back()->url);
            const std::vector<std::string> topics(subscription.begin() + 1, subscription.end());
            if (topics.empty()) {
                subscriber.add_topic("", false);
            }
            for (const std::string& topic : topics) {
                subscriber.add_topic(topic, !options.prefix);
            }
            std::cerr << "vorzmq listen: subscribed to " << describe_topics(topics, options.prefix) << " at "
                      << subscribers.back()->url << '\n';
        }

        vorzmq_poller poller;  // after its sockets, so destroyed before them
        for (const auto& server : servers) {
            poller.add(server->socket);
        }
        for (const auto& subscriber : subscribers) {
            poller.add(subscriber->socket);
        }
        line_output out;
        std::string data;
        std::string topic;
        const auto done = [&] { return stop_requested() || (options.count != 0 && received >= options.count); };
        // A refused subscription is never readable: with CURVE ones, each
        // wait ends within a second to look for refusals.
        const int wait_ms = is_curve_client(keys) && !subscribers.empty() ? 1000 : -1;
        while (!done()) {
            if (poller.wait(refused_clients.wait_ms(wait_ms)) < 0) {
                throw command_failure("cannot wait for messages: " + failure_reason());
            }
            refused_clients.update();
            for (const auto& server : servers) {
                // Whole, and acknowledged only once printed, as vorzmq serve does.
                if (!done() && poller.readable(server->socket) && server->socket.receive(data, false)) {
                    count(requests);
                    count(request_bytes, static_cast<double>(data.size()));
                    message_line line;
                    line.kind = "request";
                    line.source = server->given;
                    line.data = data;
                    if (!print(out, options.output, line)) {
                        server->socket.send(std::string("not written"));
                        throw command_failure("cannot write a request to standard output; it was not acknowledged");
                    }
                    server->socket.send_ok();
                    if (vorzmq_last_result() == vorzmq_result::ok) {
                        count(replies);
                    }
                    ++received;
                }
            }
            for (const auto& subscriber : subscribers) {
                const bool look = poller.readable(subscriber->socket) ||
                                  (wait_ms >= 0 && !subscriber->refusals.waiting());
                if (done() || !look) {
                    continue;
                }
                if (!subscriber->socket.receive(data, topic)) {
                    if (vorzmq_last_result() == vorzmq_result::refused) {
                        subscriber->refusals.refused();
                    }
                    continue;
                }
                subscriber->refusals.admitted();
                count(publications);
                count(publication_bytes, static_cast<double>(topic.size() + data.size()));
                message_line line;
                line.kind = "message";
                line.source = subscriber->given;
                line.has_topic = true;
                line.topic = topic;
                line.data = data;
                print(out, options.output, line);
                ++received;
                if (data.size() > longest_message) {
                    ++oversized;
                    std::cerr << "vorzmq listen: a message from " << subscriber->url << " is " << data.size()
                              << " bytes, " << over_the_bound() << " (printed as received)\n";
                }
            }
        }
    }
    if (oversized != 0) {
        std::cerr << "vorzmq listen: " << oversized << " messages were " << over_the_bound() << '\n';
    }
    if (options.count != 0 && received < options.count) {
        std::cerr << "vorzmq listen: stopped after " << received << " of " << options.count << " messages\n";
        return exit_failure;
    }
    return oversized == 0 ? 0 : exit_failure;
}

}  // namespace vorzmq_tool

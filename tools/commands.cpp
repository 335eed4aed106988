// SPDX-License-Identifier: MIT
#include "commands.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <type_traits>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include <json/writer.h>
#include <unistd.h>
#include <zmq.h>


#include "drain.h"
#include "message_format.h"
#include "message_input.h"
#include "metrics.h"
#include "security.h"
#include "tool_runtime.h"
#include "vorzmq.h"
#include "wire.h"

namespace vorzmq_tool {

namespace {

// How long the subscriber waits per receive before it looks at the stop flag.
constexpr int subscribe_poll_ms = 200;

}  // namespace

std::string await_reply(vorzmq_request_socket& request, std::string& reply, const std::string& url, int timeout_ms)
{
    for (;;) {
        if (request.receive(reply)) {
            return {};
        }
        switch (vorzmq_last_result()) {
        case vorzmq_result::interrupted:
            if (stop_requested()) {
                return "stopped by a signal before its reply came (the server may still have received it)";
            }
            continue;  // the reply is still to come on the same socket
        case vorzmq_result::no_reply:
            return "no reply from " + url + " within " + std::to_string(timeout_ms) +
                   " ms (the server may still have received it)";
        case vorzmq_result::refused:
            return "refused by the server at " + url + ": " + refusal_cause();
        default:
            return failure_reason();
        }
    }
}

namespace {

// A reply socket pauses 5 s after a failed bind. An endpoint that libzmq
// cannot use at all is refused by a connect too, at once and for the same
// reason, so a quiet connect is tried first.
void probe_endpoint(const std::string& url)
{
    // A connect takes no wildcard: "tcp://*:*" is probed as tcp://0.0.0.0:0.
    std::string target = url;
    const std::string tcp = "tcp://";
    if (target.compare(0, tcp.size(), tcp) == 0) {
        if (target.compare(tcp.size(), 2, "*:") == 0) {
            target.replace(tcp.size(), 1, "0.0.0.0");
        }
        if (target.size() > 2 && target.compare(target.size() - 2, 2, ":*") == 0) {
            target.back() = '0';
        }
    }
    const log4cxx::LevelPtr shown = logger->getLevel();
    logger->setLevel(log4cxx::Level::getOff());
    bool usable = false;
    std::string reason;
    {
        vorzmq_context context;
        vorzmq_request_socket probe(context, target);
        probe.init_if_necessary();
        usable = vorzmq_last_result() == vorzmq_result::ok;
        reason = failure_reason();
    }
    logger->setLevel(shown);
    if (!usable) {
        throw command_failure("cannot bind " + url + ": " + reason);
    }
}

// Connects now, so that an endpoint libzmq refuses ends the command at once.
template <typename socket_type>
void connect_or_fail(socket_type& socket, const std::string& url)
{
    socket.init_if_necessary();
    if (vorzmq_last_result() != vorzmq_result::ok) {
        throw command_failure("cannot connect to " + url + ": " + failure_reason());
    }
}

// Says on stderr why an ipc:// endpoint cannot be reached.
void note_unreachable_endpoint(const char* command, const std::string& url)
{
    const std::string note = unreachable_endpoint_note(url);
    if (!note.empty()) {
        std::cerr << "vorzmq " << command << ": " << note << '\n';
    }
}

// A "$" ends a topic on the wire (the publisher adds one unless the topic
// already ends in "$"; an exact filter is the topic plus "$", matched as a
// prefix), so a topic that holds one is not matched as its user may think.
void warn_about_dollar(const char* command, const std::string& topic, bool publishing)
{
    const std::string::size_type dollar = topic.find('$');
    if (dollar == std::string::npos) {
        return;
    }
    const bool last = dollar + 1 == topic.size();
    std::cerr << "vorzmq " << command << ": warning: the topic \"" << topic
              << "\" contains \"$\", which ends a topic on the wire: ";
    if (publishing) {
        std::cerr << "subscribers of the exact topic \"" << topic.substr(0, dollar) << "\" receive it too";
        if (last) {
            std::cerr << ", and those of \"" << topic << "\" do not";
        }
    } else {
        std::cerr << "the filter \"" << topic << "$\" also receives every topic that starts with it";
        if (last) {
            std::cerr << ", and misses a publication under \"" << topic << "\"";
        }
    }
    std::cerr << '\n';
}

}  // namespace

void print_line(const std::string& text)
{
    std::cout << text;
    if (text.empty() || text.back() != '\n') {
        std::cout << '\n';
    }
    std::cout.flush();
}

// Binds now rather than on first use, so that a bind failure ends the
// command with its reason instead of repeating behind every receive.
// Returns the endpoint bound, with the port chosen for a wildcard.
template <typename socket_type>
std::string bind_or_fail(socket_type& socket, const std::string& url)
{
    if constexpr (std::is_same_v<socket_type, vorzmq_reply_socket>) {
        probe_endpoint(url);
    }
    socket.init_if_necessary();
    if (vorzmq_last_result() != vorzmq_result::ok) {
        throw command_failure("cannot bind " + url + ": " + failure_reason());
    }
    return socket.last_endpoint();
}

template std::string bind_or_fail(vorzmq_reply_socket&, const std::string&);
template std::string bind_or_fail(vorzmq_pub_socket&, const std::string&);

// Before a publishing command closes its socket: its subscribers get up to
// `linger_ms` to read what is queued for them. Returns empty when they read
// it all, else what was dropped, in words: never less than the loss.
std::string leave_when_read(const std::string& endpoint, int linger_ms)
{
    const std::optional<std::size_t> unread = wait_until_peers_have_read(endpoint, linger_ms);
    if (unread && *unread == 0) {
        return {};
    }
    const std::string after = " after " + std::to_string(linger_ms) + " ms (--linger-ms)";
    if (!unread) {
        return "how much subscribers had still not read" + after +
               " is unknown (no /proc to count it); whatever was left is dropped";
    }
    if (endpoint.rfind("ipc://", 0) == 0) {
        // Over unix sockets the kernel counts the buffers it holds, which
        // are larger than what was written: a size, not a count of bytes.
        return "subscribers had still not read everything" + after + "; what was queued for them (" +
               std::to_string(*unread) + " bytes of kernel buffers, and whatever libzmq still held) is dropped";
    }
    return "at least " + std::to_string(*unread) + " bytes still unread by subscribers" + after +
           " are dropped (what libzmq itself still queued is not counted)";
}


int run_url(const std::string& name)
{
    std::cout << resolve_endpoint(name) << '\n';
    return 0;
}

int run_serve(const serve_options& options)
{
    const std::string url = resolve_endpoint(options.endpoint);
    const curve_keys keys = load_curve_keys(options.curve, "serve");
    require_ipc_directory(url);
    handle_stop_signals();
    // A closed standard output is a failed write, reported and answered,
    // not a silent death.
    signal(SIGPIPE, SIG_IGN);
    service_metrics metrics(options.metrics, "vorzmq serve");
    prometheus::Counter* const requests = metrics.counter(metric::messages_received, "requests");
    prometheus::Counter* const request_bytes = metrics.counter(metric::bytes_received, "requests");
    prometheus::Counter* const replies = metrics.counter(metric::messages_sent, "replies");
    vorzmq_context context;
    std::size_t served = 0;
    {
        const std::unique_ptr<vorzmq_authenticator> allow_list = start_allow_list(context, keys);
        refusal_follower refused_clients(metrics, allow_list.get());
        vorzmq_reply_socket reply(context, url);
        make_curve_server(reply, keys);
        const std::string bound = bind_or_fail(reply, url);
        std::cerr << "vorzmq serve: serving " << bound << curve_note(keys)
                  << (options.no_ack ? ", answering each request with an empty reply" : ", acknowledging each request")
                  << '\n';
        line_output out;
        message_line line;
        std::string request;
        while (!stop_requested() && (options.count == 0 || served < options.count)) {
            // Whole, zero bytes and all; answered only once written: an
            // acknowledgement promises that.
            const bool received = reply.receive(request, false);
            refused_clients.update();  // a receive waits at most its second
            if (!received) {
                if (vorzmq_last_result() == vorzmq_result::no_socket) {
                    throw command_failure("cannot bind " + url + " again: " + failure_reason());
                }
                continue;
            }
            count(requests);
            count(request_bytes, static_cast<double>(request.size()));
            line.data = request;
            append_line(out.pending, options.output, line);
            const int write_error = out.write_pending();
            if (write_error != 0) {
                // Any reply but the OK reply tells the requester it was not
                // acknowledged.
                const std::string reason = std::strerror(write_error);
                reply.send("not written: " + reason);
                throw command_failure("cannot write a request to standard output: " + reason +
                                      "; it was not acknowledged");
            }
            if (options.no_ack) {
                reply.send(std::string());
            } else {
                reply.send_ok();
            }
            if (vorzmq_last_result() != vorzmq_result::ok) {
                std::cerr << "vorzmq serve: the answer to \"" << excerpt(request)
                          << "\" was not sent: " << failure_reason() << '\n';
            } else {
                count(replies);
            }
            ++served;
        }
    }
    if (options.count != 0 && served < options.count) {
        std::cerr << "vorzmq serve: stopped after " << served << " of " << options.count << " requests\n";
        return exit_failure;
    }
    return 0;
}

int run_request(const request_options& options)
{
    refuse_oversized(options.messages);
    const std::string url = resolve_endpoint(options.endpoint);
    const curve_keys keys = load_curve_keys(options.curve, "request");
    require_resolvable_host(url);
    handle_stop_signals_waking_poller();
    vorzmq_context context;
    vorzmq_request_socket request(context, url);
    request.set_receive_timeout_ms(options.timeout_ms);
    make_curve_client(request, keys);
    connect_or_fail(request, url);
    note_unreachable_endpoint("request", url);
    std::size_t failed = 0;
    line_output out;
    message_line line;
    line.kind = "acknowledged";
    std::string reply;
    // Each acknowledgement is written as it comes: the next one may be a
    // server's slow reply away, and a reader of the output (a pipe, a log)
    // must not wait for it.
    const auto write_out = [&] {
        const int error = out.write_pending();
        if (error != 0) {
            throw command_failure(std::string("cannot write to standard output: ") + std::strerror(error));
        }
    };
    try {
        for_each_message(options.messages, options.input, [&](const std::string& message) {
            // Sent without waiting inside the library, so that the reply can
            // be read here and each message's fate reported. A failed
            // exchange makes the library re-create the socket before the
            // next send.
            std::string failure;
            if (stop_requested()) {
                throw stopped_by_signal();
            }
            for (int attempt = 0;; ++attempt) {
                request.send(message, false);
                if (vorzmq_last_result() != vorzmq_result::ok) {
                    failure = "was not sent: " + failure_reason();
                } else {
                    const std::string why = await_reply(request, reply, url, options.timeout_ms);
                    failure = why.empty() ? why : "was not acknowledged: " + why;
                }
                if (failure.empty() || vorzmq_last_result() != vorzmq_result::no_reply ||
                    attempt == options.retries) {
                    break;
                }
                std::cerr << "vorzmq request: \"" << excerpt(message) << "\" got no reply within "
                          << options.timeout_ms << " ms; sending it again (" << attempt + 1 << " of "
                          << options.retries << ")" << std::endl;
                failure.clear();
            }
            if (failure.empty() && reply != std::string("ok", 3) && reply != "ok") {
                failure = "was not acknowledged: " +
                          (reply.empty() ? std::string("the server answered with an empty reply")
                                         : "unexpected reply \"" + excerpt(reply) + "\"");
            }
            if (failure.empty()) {
                line.data = message;
                append_line(out.pending, options.output, line);
                write_out();
            } else {
                ++failed;
                write_out();
                std::cerr << "vorzmq request: \"" << excerpt(message) << "\" " << failure << std::endl;
            }
        }, write_out);
    } catch (const command_failure&) {
        write_out();
        throw;
    } catch (const stopped_by_signal&) {
        // Nothing was in flight: what was acknowledged is all there is.
    }
    write_out();
    if (failed != 0) {
        exit_dropping_unsent(exit_failure);
    }
    return 0;
}

int run_publish(const publish_options& options)
{
    refuse_oversized(options.data);
    const std::string url = resolve_endpoint(options.endpoint);
    const curve_keys keys = load_curve_keys(options.curve, "publish");
    require_ipc_directory(url);
    handle_stop_signals_waking_poller();
    vorzmq_context context;
    const std::unique_ptr<vorzmq_authenticator> allow_list = start_allow_list(context, keys);
    vorzmq_pub_socket publisher(context, url);
    make_curve_server(publisher, keys);
    warn_about_dollar("publish", options.topic, true);
    publisher.set_high_water_mark(options.hwm);
    publisher.set_linger_ms(options.linger_ms);
    const std::string bound = bind_or_fail(publisher, url);
    std::cerr << "vorzmq publish: publishing on " << bound << curve_note(keys) << '\n';
    const auto waited = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(options.wait_ms, 0));
    while (std::chrono::steady_clock::now() < waited && !stop_requested()) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(50), waited - std::chrono::steady_clock::now()));
    }
    std::size_t failed = 0;
    std::size_t published = 0;
    std::string refused;
    try {
        for_each_message(options.data, options.input, [&](const std::string& data) {
            if (stop_requested()) {
                throw stopped_by_signal();
            }
            publisher.send(options.topic, data);
            published += vorzmq_last_result() == vorzmq_result::ok ? 1 : 0;
            if (vorzmq_last_result() != vorzmq_result::ok) {
                ++failed;
                std::cerr << "vorzmq publish: \"" << excerpt(data) << "\" was not published: "
                          << vorzmq_result_text(vorzmq_last_result()) << ": " << failure_reason() << std::endl;
            }
        });
    } catch (const command_failure& error) {
        // What went out before it still gets its chance to arrive.
        refused = error.what();
    } catch (const stopped_by_signal&) {
    }
    if (stop_requested()) {
        // A stop asked for is a normal end: what was published still gets
        // its linger, and only a loss makes it a failure.
        std::cerr << "vorzmq publish: stopped by a signal after " << published << " messages" << std::endl;
    }
    const std::string dropped = leave_when_read(bound, options.linger_ms);
    if (!dropped.empty()) {
        std::cerr << "vorzmq publish: " << dropped << std::endl;
        if (!refused.empty()) {
            std::cerr << "vorzmq publish: " << refused << std::endl;
        }
        exit_dropping_unsent(exit_failure);
    }
    if (!refused.empty()) {
        throw command_failure(refused);
    }
    return failed == 0 ? 0 : exit_failure;
}

int run_subscribe(const subscribe_options& options)
{
    const std::string url = resolve_endpoint(options.endpoint);
    const curve_keys keys = load_curve_keys(options.curve, "subscribe");
    handle_stop_signals();
    vorzmq_context context;
    std::size_t received = 0;
    std::size_t oversized = 0;
    {
        vorzmq_sub_socket subscriber(context, url);
        // A bounded wait, so that a stop signal is noticed between messages.
        subscriber.set_receive_timeout_ms(subscribe_poll_ms);
        make_curve_client(subscriber, keys);
        refusal_pacer refusals("subscribe", url);
        connect_or_fail(subscriber, url);
        std::string described;
        if (options.topics.empty()) {
            subscriber.add_topic("", false);
            described = "every topic";
        }
        for (const std::string& topic : options.topics) {
            if (!options.prefix) {
                warn_about_dollar("subscribe", topic, false);
            }
            subscriber.add_topic(topic, !options.prefix);
            described += (described.empty() ? "" : ", ") + std::string(options.prefix ? "topics starting with " : "topic ") +
                         "\"" + topic + "\"";
        }
        if (vorzmq_last_result() != vorzmq_result::ok) {
            throw command_failure("cannot subscribe at " + url + ": " + failure_reason());
        }
        std::cerr << "vorzmq subscribe: subscribed to " << described << " at " << url << '\n';
        note_unreachable_endpoint("subscribe", url);

        // Lines wait in `out` while messages are at hand, and are written
        // before each wait: a stream costs a write per burst, not per
        // message, and a lone message is printed at once.
        line_output out;
        message_line line;
        line.has_topic = options.show_topic || options.output == output_format::json;
        std::string data;
        std::string topic;
        const auto write_out = [&] {
            const int error = out.write_pending();
            if (error != 0) {
                throw command_failure(std::string("cannot write to standard output: ") + std::strerror(error));
            }
        };
        subscriber.set_receive_flags(ZMQ_DONTWAIT);
        while (!stop_requested() && (options.count == 0 || received < options.count)) {
            bool got = subscriber.receive(data, topic);
            if (!got && vorzmq_last_result() == vorzmq_result::no_reply) {
                write_out();
                subscriber.set_receive_flags(0);
                got = subscriber.receive(data, topic);
                subscriber.set_receive_flags(ZMQ_DONTWAIT);
            }
            if (got) {
                ++received;
                refusals.admitted();
                line.topic = topic;
                line.data = data;
                append_line(out.pending, options.output, line);
                if (data.size() > longest_message || vorzmq_last_result() == vorzmq_result::truncated) {
                    write_out();
                    ++oversized;
                    std::cerr << "vorzmq subscribe: message " << received << " is " << data.size() << " bytes, "
                              << over_the_bound() << " (printed as received)\n";
                }
                if (out.pending.size() >= line_output::full) {
                    write_out();
                }
            } else if (vorzmq_last_result() == vorzmq_result::no_socket) {
                write_out();
                throw command_failure("cannot connect to " + url + " again: " + failure_reason());
            } else if (vorzmq_last_result() == vorzmq_result::refused) {
                write_out();
                refusals.refused();
                while (refusals.waiting() && !stop_requested()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            }
        }
        write_out();
    }
    if (oversized != 0) {
        std::cerr << "vorzmq subscribe: " << oversized << " of " << received << " messages were " << over_the_bound()
                  << '\n';
    }
    if (options.count != 0 && received < options.count) {
        std::cerr << "vorzmq subscribe: stopped after " << received << " of " << options.count << " messages\n";
        return exit_failure;
    }
    return oversized == 0 ? 0 : exit_failure;
}

}  // namespace vorzmq_tool

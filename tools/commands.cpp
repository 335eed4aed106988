// SPDX-License-Identifier: MIT
#include "commands.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

#include <json/reader.h>
#include <json/writer.h>
#include <unistd.h>

#include "tool_runtime.h"
#include "vorzmq.h"

namespace vorzmq_tool {

namespace {

// How long the subscriber waits per receive before it looks at the stop flag.
constexpr int subscribe_poll_ms = 200;

// Calls `handle` with each given text, or with each line of standard input
// when none was given.
void for_each_message(const std::vector<std::string>& given, const std::function<void(const std::string&)>& handle)
{
    if (!given.empty()) {
        for (const std::string& message : given) {
            handle(message);
        }
        return;
    }
    if (isatty(STDIN_FILENO)) {
        std::cerr << "(reading messages from standard input, one a line; end with Ctrl-D)\n";
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        handle(line);
    }
}

void print_line(const std::string& text)
{
    std::cout << text;
    if (text.empty() || text.back() != '\n') {
        std::cout << '\n';
    }
    std::cout.flush();
}

// The library logs a missing reply with the text of EAGAIN; say it plainly.
std::string describe_failed_exchange(const std::string& url, const std::string& problem)
{
    if (problem.find(std::strerror(EAGAIN)) != std::string::npos) {
        return "no reply from " + url + " within 1 s";
    }
    return problem;
}

// Binds now rather than on first use, so that a bind failure ends the
// command with its reason instead of repeating behind every receive.
template <typename socket_type>
void bind_or_fail(socket_type& socket, const std::string& url)
{
    const std::size_t errors_before = error_count();
    socket.init_if_necessary();
    if (error_count() != errors_before) {
        throw command_failure("cannot bind " + url + ": " + last_problem());
    }
}

std::string without_trailing_line_feeds(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

bool parse_json(const std::string& text, Json::Value& value)
{
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    return Json::parseFromStream(builder, in, &value, &errors);
}

// The same compact form the library's re-broadcast socket writes, so data
// passes through the relay unchanged; without the final line feed, which is
// no part of the value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string compact_json(const Json::Value& value)
{
    Json::FastWriter writer;
    writer.omitEndingLineFeed();
    return writer.write(value);
}
#pragma GCC diagnostic pop

// Why a re-broadcast request cannot be published, or empty when it can.
std::string reject_reason(const std::string& text, Json::Value& request)
{
    if (!parse_json(text, request)) {
        return "not JSON";
    }
    if (!request.isObject()) {
        return "not a JSON object";
    }
    if (!request.isMember("topic") || !request["topic"].isString()) {
        return "no string \"topic\"";
    }
    if (!request.isMember("data")) {
        return "no \"data\"";
    }
    return {};
}

void relay_one(vorzmq_pub_socket& publisher, const std::string& text)
{
    Json::Value request;
    const std::string reason = reject_reason(text, request);
    if (!reason.empty()) {
        LOG4CXX_WARN(logger, "Ignored Re-Broadcast Request: " << without_trailing_line_feeds(text) << " -- " << reason);
        return;
    }
    const std::string topic = request["topic"].asString();
    const std::string data = compact_json(request["data"]);
    const std::size_t problems_before = problem_count();
    // The topic already ends in "$", so subscribers of the bare topic with an
    // exact filter receive it; the library then adds no second "$".
    publisher.send(topic, data);
    if (problem_count() != problems_before) {
        return;  // the library's record says why it was not published
    }
    const std::string bare_topic = (!topic.empty() && topic.back() == '$') ? topic.substr(0, topic.size() - 1) : topic;
    print_line((bare_topic.empty() ? std::string("(no topic)") : bare_topic) + " " + data);
}

}  // namespace

int run_url(const std::string& name)
{
    std::cout << resolve_endpoint(name) << '\n';
    return 0;
}

int run_serve(const serve_options& options)
{
    const std::string url = resolve_endpoint(options.endpoint);
    require_ipc_directory(url);
    handle_stop_signals();
    vorzmq_context context;
    std::size_t served = 0;
    {
        vorzmq_reply_socket reply(context, url);
        bind_or_fail(reply, url);
        std::cerr << "vorzmq serve: serving " << url
                  << (options.no_ack ? ", answering each request with an empty reply" : ", acknowledging each request")
                  << '\n';
        while (!stop_requested() && (options.count == 0 || served < options.count)) {
            std::stringstream request;
            if (!reply.receive(request, !options.no_ack)) {
                continue;
            }
            if (options.no_ack) {
                reply.send(std::string());
            }
            print_line(request.str());
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
    const std::string url = resolve_endpoint(options.endpoint);
    vorzmq_context context;
    vorzmq_request_socket request(context, url);
    std::size_t unacknowledged = 0;

    for_each_message(options.messages, [&](const std::string& message) {
        const std::size_t problems_before = problem_count();
        // Sent without waiting inside the library, so that the reply can be
        // read here and each message's fate reported.
        request.send(message, false);
        std::string reason;
        if (problem_count() != problems_before) {
            reason = "not sent: " + last_problem();
        } else {
            char reply[256];
            const std::size_t size = request.receive(reply, sizeof reply);
            const std::string text(reply, strnlen(reply, size));
            if (problem_count() != problems_before) {
                reason = describe_failed_exchange(url, last_problem());
            } else if (text != "ok") {
                reason = text.empty() ? "the server answered with an empty reply"
                                      : "unexpected reply \"" + excerpt(text) + "\"";
            }
        }
        if (reason.empty()) {
            std::cout << "acknowledged: " << message << std::endl;
        } else {
            ++unacknowledged;
            std::cerr << "vorzmq request: \"" << excerpt(message) << "\" was not acknowledged: " << reason
                      << std::endl;
        }
    });
    if (unacknowledged != 0) {
        exit_dropping_unsent(exit_failure);
    }
    return 0;
}

int run_publish(const publish_options& options)
{
    const std::string url = resolve_endpoint(options.endpoint);
    require_ipc_directory(url);
    vorzmq_context context;
    vorzmq_pub_socket publisher(context, url);
    bind_or_fail(publisher, url);
    if (options.wait_ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.wait_ms));
    }
    std::size_t failed = 0;
    for_each_message(options.data, [&](const std::string& data) {
        const std::size_t problems_before = problem_count();
        publisher.send(options.topic, data);
        if (problem_count() != problems_before) {
            ++failed;
            std::cerr << "vorzmq publish: \"" << excerpt(data) << "\" was not published: " << last_problem()
                      << std::endl;
        }
    });
    return failed == 0 ? 0 : exit_failure;
}

int run_subscribe(const subscribe_options& options)
{
    const std::string url = resolve_endpoint(options.endpoint);
    handle_stop_signals();
    vorzmq_context context;
    std::size_t received = 0;
    {
        vorzmq_sub_socket subscriber(context, url);
        // A bounded wait, so that a stop signal is noticed between messages.
        subscriber.set_receive_timeout_ms(subscribe_poll_ms);
        std::string described;
        if (options.topics.empty()) {
            subscriber.add_topic("", false);
            described = "every topic";
        }
        for (const std::string& topic : options.topics) {
            subscriber.add_topic(topic, !options.prefix);
            described += (described.empty() ? "" : ", ") + std::string(options.prefix ? "topics starting with " : "topic ") +
                         "\"" + topic + "\"";
        }
        std::cerr << "vorzmq subscribe: subscribed to " << described << " at " << url << '\n';

        while (!stop_requested() && (options.count == 0 || received < options.count)) {
            std::stringstream data;
            if (subscriber.receive(data)) {
                print_line(data.str());
                ++received;
            }
        }
    }
    if (options.count != 0 && received < options.count) {
        std::cerr << "vorzmq subscribe: stopped after " << received << " of " << options.count << " messages\n";
        return exit_failure;
    }
    return 0;
}

int run_rebroadcast(const rebroadcast_options& options)
{
    const std::string url = resolve_endpoint(options.endpoint);
    // The library's own check, so that what passes here is also sent.
    std::stringstream envelope;
    Json::Value parsed_envelope;
    if (!build_json(options.topic, options.json, envelope) || !parse_json(envelope.str(), parsed_envelope)) {
        throw usage_error("invalid JSON: " + excerpt(options.json));
    }
    vorzmq_context context;
    vorzmq_rebrdcst_socket rebroadcaster(context, url);
    const std::size_t problems_before = problem_count();
    rebroadcaster.rebrdcst(options.topic, options.json);
    if (problem_count() != problems_before) {
        std::cerr << "vorzmq rebroadcast: not acknowledged: " << describe_failed_exchange(url, last_problem())
                  << std::endl;
        exit_dropping_unsent(exit_failure);
    }
    std::cout << "acknowledged: " << options.topic << ' ' << compact_json(parsed_envelope["data"]) << std::endl;
    return 0;
}

int run_relay(const relay_options& options)
{
    const std::string listen_url = resolve_endpoint(options.listen);
    const std::string publish_url = resolve_endpoint(options.publish);
    require_ipc_directory(listen_url);
    require_ipc_directory(publish_url);
    handle_stop_signals();
    vorzmq_context context;
    {
        vorzmq_reply_socket requests(context, listen_url);
        vorzmq_pub_socket publisher(context, publish_url);
        bind_or_fail(publisher, publish_url);
        bind_or_fail(requests, listen_url);
        std::cerr << "vorzmq relay: re-broadcasting requests from " << listen_url << " on " << publish_url << '\n';
        while (!stop_requested()) {
            std::stringstream request;
            // Acknowledged on receipt: the requester waits for nothing more.
            if (requests.receive(request, true)) {
                relay_one(publisher, request.str());
            }
        }
    }
    return 0;
}

}  // namespace vorzmq_tool

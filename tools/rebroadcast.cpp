// SPDX-License-Identifier: MIT
// vorzmq rebroadcast: asks a re-broadcast service to publish JSON data,
// one message given on the command line or many read from standard input.
#include <cstring>
#include <iostream>
#include <sstream>

#include <json/reader.h>
#include <json/value.h>
#include <unistd.h>

#include "commands.h"
#include "relay_request.h"
#include "security.h"
#include "tool_runtime.h"
#include "vorzmq.h"

namespace vorzmq_tool {

namespace {

// A request ready to send, or why there is none.
struct prepared {
    std::string reason;   // empty: send `text`
    std::string topic;    // as the user gave it
    std::string data;     // compact JSON
    std::string text;     // the request as the library's re-broadcast socket writes it
};

bool parse_json(const std::string& text, Json::Value& value)
{
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    try {
        return Json::parseFromStream(builder, in, &value, &errors);
    } catch (const std::exception&) {
        return false;  // nested too deep
    }
}

// {"data":<data>,"topic":"<topic>$"} in compact form and a line feed, as
// vorzmq_rebrdcst_socket sends it; the library's own check decides what is
// JSON, so that what passes here is also what the library would send.
prepared prepare(const std::string& topic, const std::string& json)
{
    prepared request;
    request.topic = topic;
    std::stringstream envelope;
    Json::Value parsed;
    if (!build_json(topic, json, envelope) || !parse_json(envelope.str(), parsed)) {
        request.reason = "invalid JSON: " + excerpt(json);
        return request;
    }
    Json::Value wire;
    wire["topic"] = topic.empty() ? topic : topic + '$';
    wire["data"] = parsed["data"];
    request.data = compact_json(parsed["data"]);
    request.text = compact_json(wire) + '\n';
    if (request.text.size() > longest_relay_request) {
        request.reason = "the request would be " + std::to_string(request.text.size()) + " bytes, over " +
                         std::to_string(longest_relay_request) + ", the most the relay takes";
    }
    return request;
}

// A message of standard input: a JSON text under the given topic, or an
// object {"topic":TOPIC,"data":DATA}.
prepared prepare_line(const rebroadcast_options& options, const std::string& message)
{
    if (options.has_topic) {
        return prepare(options.topic, message);
    }
    const relay_request object = examine_relay_request(message);
    if (!object.reason.empty()) {
        prepared refused;
        refused.reason = object.reason + " (expected {\"topic\":TOPIC,\"data\":DATA})";
        return refused;
    }
    return prepare(object.topic, object.data);
}

// Why an exchange got no OK reply: the relay's own reason where it gave one.
std::string describe_reply(const std::string& reply)
{
    const std::string error = "error: ";
    if (reply.compare(0, error.size(), error) == 0) {
        std::string reason = reply.substr(error.size());
        if (!reason.empty() && reason.back() == '\0') {
            reason.pop_back();
        }
        return "refused by the service: " + excerpt(reason);
    }
    return reply.empty() ? "the service answered with an empty reply" : "unexpected reply \"" + excerpt(reply) + "\"";
}

}  // namespace

int run_rebroadcast(const rebroadcast_options& options)
{
    const std::string url = resolve_endpoint(options.endpoint);
    require_resolvable_host(url);
    const curve_keys keys = load_curve_keys(options.curve, "rebroadcast");
    prepared given;
    if (options.has_json) {
        given = prepare(options.topic, options.json);
        if (given.text.empty()) {
            throw usage_error(given.reason);
        }
        if (!given.reason.empty()) {
            throw command_failure(given.reason + "; nothing was sent");
        }
    }
    handle_stop_signals_waking_poller();
    vorzmq_context context;
    vorzmq_request_socket request(context, url);
    request.set_receive_timeout_ms(options.timeout_ms);
    make_curve_client(request, keys);
    request.init_if_necessary();
    if (vorzmq_last_result() != vorzmq_result::ok) {
        throw command_failure("cannot connect to " + url + ": " + failure_reason());
    }
    const std::string note = unreachable_endpoint_note(url);
    if (!note.empty()) {
        std::cerr << "vorzmq rebroadcast: " << note << '\n';
    }

    std::size_t failed = 0;
    std::string reply;
    const auto send = [&](const prepared& message) {
        if (stop_requested()) {
            throw stopped_by_signal();
        }
        std::string failure = message.reason.empty() ? std::string() : message.reason + "; not sent";
        if (failure.empty()) {
            request.send(message.text, false);
            if (vorzmq_last_result() != vorzmq_result::ok) {
                failure = "not sent: " + failure_reason();
            } else if (const std::string why = await_reply(request, reply, url, options.timeout_ms); !why.empty()) {
                failure = "not acknowledged: " + why;
            } else if (reply != std::string("ok", 3)) {
                failure = "not acknowledged: " + describe_reply(reply);
            }
        }
        if (!failure.empty()) {
            ++failed;
            std::cerr << "vorzmq rebroadcast: " << failure << std::endl;
            return;
        }
        std::string line = "acknowledged: ";
        append_text(line, message.topic);
        line += ' ';
        line += message.data;
        std::cout << line << std::endl;
    };
    if (!options.has_json && !options.has_topic && isatty(STDIN_FILENO)) {
        std::cerr << "(one {\"topic\":TOPIC,\"data\":DATA} object per message)\n";
    }
    try {
        if (options.has_json) {
            send(given);
        } else {
            for_each_message({}, options.input,
                             [&](const std::string& message) { send(prepare_line(options, message)); });
        }
    } catch (const stopped_by_signal&) {
        // Nothing was in flight: what was acknowledged is all there is.
    }
    if (failed != 0) {
        exit_dropping_unsent(exit_failure);
    }
    return 0;
}

}  // namespace vorzmq_tool

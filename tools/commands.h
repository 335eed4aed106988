// SPDX-License-Identifier: MIT
// The vorzmq subcommands. Each returns the process's exit status, or throws
// usage_error / command_failure (tool_runtime.h) with a one-line reason.
#ifndef VORZMQ_TOOL_COMMANDS_H
#define VORZMQ_TOOL_COMMANDS_H

#include <cstddef>
#include <string>
#include <vector>

#include "message_format.h"
#include "message_input.h"
#include "security.h"

class vorzmq_request_socket;

namespace vorzmq_tool {

struct serve_options {
    std::string endpoint;
    std::size_t count = 0;  // 0: until stopped
    bool no_ack = false;
    output_format output = output_format::text;
    curve_options curve;
    std::string metrics;  // HOST:PORT; empty: none
};

struct request_options {
    std::string endpoint;
    std::vector<std::string> messages;  // none: one per line of stdin
    // How long each message's OK reply is awaited: long enough for a server
    // that is still starting (a bind pauses 500 ms).
    int timeout_ms = 5000;
    // How many times a message without a reply within the time-out is sent
    // again, each time on a new connection (the library closes the socket
    // of an unanswered request at once).
    int retries = 0;
    input_framing input = input_framing::lines;
    output_format output = output_format::text;
    curve_options curve;
};

struct publish_options {
    std::string endpoint;
    std::string topic;
    std::vector<std::string> data;  // none: one per line of stdin
    int wait_ms = 0;
    // No limit: the input is finite, so a subscriber that keeps up gets all
    // of it however fast it is piped in.
    int hwm = 0;
    int linger_ms = 10000;
    input_framing input = input_framing::lines;
    curve_options curve;
};

struct subscribe_options {
    std::string endpoint;
    std::vector<std::string> topics;  // none: every topic
    bool prefix = false;
    bool show_topic = false;
    std::size_t count = 0;  // 0: until stopped
    output_format output = output_format::text;
    curve_options curve;
};

struct rebroadcast_options {
    std::string endpoint;
    // Both empty: each message of standard input is an object
    // {"topic":TOPIC,"data":DATA}; only `json` empty: each is a JSON text.
    std::string topic;
    std::string json;
    bool has_topic = false;
    bool has_json = false;
    int timeout_ms = 1000;
    input_framing input = input_framing::lines;
    curve_options curve;
};

struct relay_options {
    std::string listen;
    std::string publish;
    // A service runs for ever, so its queues stay bounded; requests arrive
    // one acknowledged exchange at a time, far too slowly to put this many
    // between the relay and a subscriber that keeps up.
    int hwm = 100000;
    int linger_ms = 10000;
    // What the relay may queue for one subscriber that stops reading, and
    // the largest request it takes: together they bound the mark, so that
    // memory stays within the budget whatever the requests' sizes.
    int memory_budget_mib = 256;
    int max_request_kib = 256;
    bool print = false;  // each relayed message on stdout: payloads, so only when asked
    curve_options curve;
    std::string metrics;  // HOST:PORT; empty: none
};

// Steps the commands share.
// Prints a line of output and flushes it.
void print_line(const std::string& text);
// Binds now rather than on first use (a reply or publish socket), so that a
// bind failure ends the command with its reason; returns the endpoint bound.
template <typename socket_type>
std::string bind_or_fail(socket_type& socket, const std::string& url);
// Before a publishing command closes its socket: empty when its subscribers
// read everything within `linger_ms`, else what was dropped, in words.
std::string leave_when_read(const std::string& endpoint, int linger_ms);

int run_url(const std::string& name);
int run_serve(const serve_options& options);
// Waits for the reply to the request just sent, through signals that are no
// stop. Returns empty when a reply came, else why none did, in words; a
// stop signal ends the wait.
std::string await_reply(vorzmq_request_socket& request, std::string& reply, const std::string& url, int timeout_ms);

int run_request(const request_options& options);
int run_publish(const publish_options& options);
int run_subscribe(const subscribe_options& options);
int run_rebroadcast(const rebroadcast_options& options);
int run_relay(const relay_options& options);

}  // namespace vorzmq_tool

#endif

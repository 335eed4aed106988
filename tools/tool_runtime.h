// SPDX-License-Identifier: MIT
// What every vorzmq subcommand shares: logging set-up, a watch on the
// library's problem records, stop signals, endpoint resolution and the
// errors that decide the exit status.
#ifndef VORZMQ_TOOL_RUNTIME_H
#define VORZMQ_TOOL_RUNTIME_H

#include <cstddef>
#include <stdexcept>
#include <string>

namespace vorzmq_tool {

// Exit statuses: 0 success, 1 something was not done (a request not
// acknowledged, an endpoint not bound), 2 the command line was wrong.
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

// Bad input from the user: reported on stderr, exit status 2.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The command could not do what was asked: reported on stderr, exit status 1.
struct command_failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Points the global `logger` at the logger "vorzmq" with a console appender
// on stderr that shows records at `level` and above. WARN and ERROR records
// are always counted (see problem_count) even when not shown.
void configure_logging(const std::string& level);

// How many WARN-or-worse records were logged so far, and the last one's
// text. The library reports some failures through the log alone; commands
// compare the count before and after a call to notice them.
std::size_t problem_count();
std::string last_problem();
// ERROR-or-worse records only: failures, as opposed to warnings.
std::size_t error_count();

// Makes SIGINT and SIGTERM set a flag instead of ending the process, so a
// service finishes its current message, closes its sockets and exits 0.
// Call before the context is created. A second signal ends the process at
// once.
void handle_stop_signals();
bool stop_requested();

// A text containing "://" is a ZeroMQ URL, used as given; anything else is
// a queue name, turned into its endpoint under $VOR_HOME. Throws
// usage_error with a readable reason.
std::string resolve_endpoint(const std::string& endpoint);

// Before binding an ipc:// endpoint: its directory must exist, or every bind
// would fail. Throws command_failure naming the directory.
void require_ipc_directory(const std::string& url);

// Ends the process at once with `status`, after flushing what was printed.
// Used when a request was not acknowledged: the request may still sit in the
// socket's queue, and waiting out the linger period would only give it a
// chance to reach a server that starts later, after the user was told it
// failed.
[[noreturn]] void exit_dropping_unsent(int status);

// `text` shortened to a readable one-line excerpt for messages.
std::string excerpt(const std::string& text);

}  // namespace vorzmq_tool

#endif

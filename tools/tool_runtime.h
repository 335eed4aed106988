// SPDX-License-Identifier: MIT
// What every vorzmq subcommand shares: logging set-up, failure reasons,
// stop signals, endpoint resolution and the
// errors that decide the exit status.
#ifndef VORZMQ_TOOL_RUNTIME_H
#define VORZMQ_TOOL_RUNTIME_H

#include <signal.h>

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
// on stderr that shows records at `level` and above.
void configure_logging(const std::string& level);

// Raises the soft limit on open files to the hard one: every connection a
// binding command accepts takes a descriptor, and at the soft limit of 1024
// a flood of idle connections would leave none for real peers.
void raise_open_file_limit();

// Why this thread's last library call failed, in a few words: the system's
// text of the error behind it, else the outcome's text.
std::string failure_reason();

// Blocks SIGINT and SIGTERM in this thread and every thread it starts later
// (libzmq's among them), so that one chosen thread takes them with
// sigwait/sigtimedwait; also undoes a shell's SIG_IGN for background jobs.
sigset_t block_stop_signals();

// Makes SIGINT and SIGTERM set a flag instead of ending the process, so a
// service finishes its current message, closes its sockets and exits 0.
// Call before the context is created. A second signal ends the process at
// once.
void handle_stop_signals();
// The same, and the first stop signal also wakes the calling thread: a
// vorzmq_poller::wait returns 0, a receive ends as `interrupted` (its socket
// kept), and a wait for standard input ends it.
void handle_stop_signals_waking_poller();
// Call from the thread that set up the stop signals.
bool stop_requested();
// Thrown to leave a loop over messages when stop_requested() said so.
struct stopped_by_signal {};

// A text containing "://" is a ZeroMQ URL, used as given; anything else is
// a queue name, turned into its endpoint under $VOR_HOME. Throws
// usage_error with a readable reason.
std::string resolve_endpoint(const std::string& endpoint);

// The mode, less the umask, of the $VOR_HOME/queues folder that a binding
// command creates when it is missing: owner and group may bind and connect,
// others nothing (the library opens each endpoint file to its group), and
// the sticky bit keeps a member from unlinking, and so taking over, another
// user's live endpoint.
constexpr unsigned queue_directory_mode = 01770;

// Before binding an ipc:// endpoint: its directory must exist, or every bind
// would fail. $VOR_HOME/queues (and VOR_HOME) is created when missing; any
// other missing directory throws command_failure naming it.
void require_ipc_directory(const std::string& url);

// For a tcp:// URL whose host name does not resolve (as libzmq would
// resolve it): a line that names it and why; else empty.
std::string unresolvable_host(const std::string& url);
// For one-shot commands, before anything is sent: throws command_failure
// naming a host name that does not resolve.
void require_resolvable_host(const std::string& url);

// For connecting commands: a line that says why a tcp:// host cannot be
// resolved (and that it is tried again), or why an ipc:// endpoint cannot be
// reached yet (its directory is missing, so no server can have bound it) or
// at all for this user (no permission, and which group has it), or empty.
std::string unreachable_endpoint_note(const std::string& url);

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

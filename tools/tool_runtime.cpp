// SPDX-License-Identifier: MIT
#include "tool_runtime.h"

#include <pthread.h>
#include <signal.h>
#include <grp.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

#include <log4cxx/consoleappender.h>
#include <log4cxx/level.h>
#include <log4cxx/patternlayout.h>

#include "vorzmq.h"
#include "wire.h"

log4cxx::LoggerPtr logger;  // the library logs through the host's logger

namespace vorzmq_tool {

namespace {

std::atomic<bool> stop_flag{false};

}  // namespace

void configure_logging(const std::string& level)
{
    logger = log4cxx::Logger::getLogger("vorzmq");
    logger->setAdditivity(false);
    const log4cxx::LevelPtr shown = log4cxx::Level::toLevel(level, log4cxx::Level::getWarn());
    auto layout = std::make_shared<log4cxx::PatternLayout>(LOG4CXX_STR("%d{HH:mm:ss.SSS} %-5p %m%n"));
    logger->addAppender(std::make_shared<log4cxx::ConsoleAppender>(layout, log4cxx::ConsoleAppender::getSystemErr()));
    logger->setLevel(shown);
}

std::string failure_reason()
{
    const int error = vorzmq_last_error();
    // Below libzmq's own numbers its texts are the system's.
    constexpr int first_zmq_error = 156384712;
    if (error != 0 && error < first_zmq_error) {
        return std::strerror(error);
    }
    return vorzmq_result_text(vorzmq_last_result());
}

namespace {

// Sent by the signal thread to the waiting thread. Its handler does nothing;
// poll(2) returns EINTR after any handler, SA_RESTART or not, while other
// calls (a write to a full pipe) carry on.
constexpr int wake_signal = SIGUSR1;
std::atomic<bool> stop_seen{false};

void on_wake(int) {}

}  // namespace

sigset_t block_stop_signals()
{
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
    // A shell starts background jobs with SIGINT ignored; Ctrl-C and kill -INT
    // must still stop them.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    return stop_set;
}

namespace {

void start_stop_thread(bool wake_caller)
{
    // Blocked before libzmq starts its threads, so no thread takes them and a
    // blocking receive is never interrupted halfway; the receive time-outs
    // bound how long the flag waits to be seen, unless the waiting thread is
    // woken.
    const sigset_t stop_set = block_stop_signals();
    if (wake_caller) {
        struct sigaction action {};
        action.sa_handler = on_wake;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(wake_signal, &action, nullptr);
    }
    const pthread_t caller = pthread_self();
    std::thread([stop_set, wake_caller, caller] {
        int signal_number = 0;
        sigwait(&stop_set, &signal_number);
        stop_flag = true;
        // A wake-up that arrives just before the caller enters its wait is
        // lost, so it is repeated until the caller has seen the flag.
        const timespec pause{0, 10 * 1000 * 1000};
        while (wake_caller && !stop_seen) {
            pthread_kill(caller, wake_signal);
            const int again = sigtimedwait(&stop_set, nullptr, &pause);
            if (again > 0) {
                _exit(128 + again);
            }
        }
        sigwait(&stop_set, &signal_number);
        _exit(128 + signal_number);
    }).detach();
}

}  // namespace

void handle_stop_signals()
{
    start_stop_thread(false);
}

void handle_stop_signals_waking_poller()
{
    start_stop_thread(true);
}

bool stop_requested()
{
    if (!stop_flag) {
        return false;
    }
    if (!stop_seen.exchange(true)) {
        // A late wake-up must not interrupt the shutdown: closing the
        // context waits for its sockets, and an interrupted wait gives up.
        sigset_t wake_set;
        sigemptyset(&wake_set);
        sigaddset(&wake_set, wake_signal);
        pthread_sigmask(SIG_BLOCK, &wake_set, nullptr);
    }
    return true;
}

std::string resolve_endpoint(const std::string& endpoint)
{
    if (endpoint.find("://") != std::string::npos) {
        return endpoint;
    }
    try {
        return build_request_response_url(endpoint);
    } catch (const std::runtime_error& error) {
        if (getenv("VOR_HOME") == nullptr) {
            throw usage_error("cannot resolve queue name '" + endpoint + "': " + error.what() +
                              " (export VOR_HOME, or give a URL such as tcp://127.0.0.1:5555)");
        }
        throw usage_error("cannot resolve queue name '" + endpoint + "': " + error.what());
    }
}

namespace {

const std::string ipc_prefix = "ipc://";

// The directory of an ipc:// endpoint, or empty for other endpoints.
std::string ipc_directory(const std::string& url)
{
    if (url.compare(0, ipc_prefix.size(), ipc_prefix) != 0) {
        return {};
    }
    const std::string path = url.substr(ipc_prefix.size());
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return {};
    }
    return path.substr(0, slash);
}

bool is_directory(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// $VOR_HOME/queues, or empty without VOR_HOME.
std::string queue_directory()
{
    const char* home = getenv("VOR_HOME");
    return home == nullptr ? std::string() : std::string(home) + "/queues";
}

// mkdir -p, each new directory with `mode` less the umask.
bool make_directories(const std::string& path, mode_t mode)
{
    if (path.empty() || is_directory(path)) {
        return true;
    }
    const std::string::size_type slash = path.rfind('/');
    if (slash != std::string::npos && slash != 0 && !make_directories(path.substr(0, slash), mode)) {
        return false;
    }
    return mkdir(path.c_str(), mode) == 0 || (errno == EEXIST && is_directory(path));
}

// Whoever may write a folder without the sticky bit may unlink a live
// endpoint in it and bind their own in its place (libzmq's bind unlinks).
void warn_if_others_may_replace(const std::string& directory, const std::string& url)
{
    struct stat status {};
    if (stat(directory.c_str(), &status) != 0 || (status.st_mode & S_ISVTX) != 0 ||
        (status.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return;
    }
    const char* who = (status.st_mode & S_IWOTH) != 0 ? "every local user" : "every member of its group";
    std::cerr << "vorzmq: warning: " << who << " may replace " << url << ": " << directory
              << " is writable by them without the sticky bit (chmod +t " << directory << ")\n";
}

}  // namespace

void require_ipc_directory(const std::string& url)
{
    const std::string directory = ipc_directory(url);
    if (directory.empty()) {
        return;
    }
    if (is_directory(directory)) {
        warn_if_others_may_replace(directory, url);
        return;
    }
    // The queue folder of a fresh VOR_HOME is made on the first bind; any
    // other folder is the user's to make.
    if (directory == queue_directory()) {
        if (make_directories(directory, queue_directory_mode)) {
            return;
        }
        throw command_failure("cannot bind " + url + ": cannot create the directory " + directory + ": " +
                              std::strerror(errno));
    }
    throw command_failure("cannot bind " + url + ": the directory " + directory +
                          " does not exist (create it with mkdir -p)");
}

namespace {

// Who may connect where this user may not: the file's group, by name. No
// one is told to join root's group, which would make them root in all but
// name; its files are for root alone.
std::string group_hint(const std::string& path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return {};
    }
    if (status.st_gid == 0) {
        return " (its group is root's: only root may connect; a service for others gives its queues a group "
               "of their own, as the vorzmq units do with the group vorzmq)";
    }
    const struct group* entry = getgrgid(status.st_gid);
    const std::string name = entry != nullptr ? entry->gr_name : std::to_string(status.st_gid);
    return " (members of the group " + name + " may connect: sudo usermod -aG " + name +
           " \"$USER\", then log in again)";
}

}  // namespace

void raise_open_file_limit()
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);  // at worst the old limit stays
    }
}

std::string unresolvable_host(const std::string& url)
{
    static const std::string tcp_prefix = "tcp://";
    if (url.rfind(tcp_prefix, 0) != 0) {
        return {};
    }
    std::string address = url.substr(tcp_prefix.size());
    const std::string::size_type source_end = address.find(';');  // tcp://SOURCE;HOST:PORT
    if (source_end != std::string::npos) {
        address.erase(0, source_end + 1);
    }
    const std::string::size_type port_start = address.rfind(':');
    std::string host = address.substr(0, port_start);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty() || host == "*") {
        return {};
    }
    // As libzmq resolves it: IPv4 only, as ZMQ_IPV6 is not set.
    addrinfo hints{};
    hints.ai_family = host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result == 0) {
        freeaddrinfo(found);
        return {};
    }
    return "the host name " + host + " of " + url + " does not resolve (" + gai_strerror(result) + ")";
}

void require_resolvable_host(const std::string& url)
{
    const std::string unresolved = unresolvable_host(url);
    if (!unresolved.empty()) {
        throw command_failure(unresolved + ": nothing was sent");
    }
}

std::string unreachable_endpoint_note(const std::string& url)
{
    const std::string unresolved = unresolvable_host(url);
    if (!unresolved.empty()) {
        return unresolved + "; trying again";
    }
    const std::string directory = ipc_directory(url);
    if (directory.empty()) {
        return {};
    }
    // Connecting to a Unix socket needs search permission on its directories
    // and write permission on the socket file.
    if (access(directory.c_str(), X_OK) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return "the directory " + directory + " does not exist yet, so nothing is bound at " + url +
                   "; waiting for a server to bind it";
        }
        const int err = errno;
        // The first directory on the way that this user may not pass.
        std::string blocked = directory;
        for (std::string::size_type slash = directory.find('/', 1); slash != std::string::npos;
             slash = directory.find('/', slash + 1)) {
            if (access(directory.substr(0, slash).c_str(), X_OK) != 0) {
                blocked = directory.substr(0, slash);
                break;
            }
        }
        return "cannot reach the directory " + blocked + ": " + std::strerror(err) + group_hint(blocked);
    }
    const std::string path = url.substr(ipc_prefix.size());
    if (access(path.c_str(), W_OK) != 0 && errno == EACCES) {
        return "no permission to connect to " + path + group_hint(path);
    }
    return {};
}

void exit_dropping_unsent(int status)
{
    std::cout.flush();
    std::cerr.flush();
    _exit(status);
}

std::string excerpt(const std::string& text)
{
    constexpr std::size_t longest = 60;
    std::string shown;
    const std::string_view kept = std::string_view(text).substr(0, longest);
    for (std::size_t at = 0; at < kept.size();) {
        // What could act on a terminal (a peer's zero bytes among it) never
        // reaches one: a space stands for it.
        const auto unit = vorzmq::internal::next_text_unit(kept.substr(at));
        if (unit.escaped) {
            shown += ' ';
        } else {
            shown.append(kept.substr(at, unit.length));
        }
        at += unit.length;
    }
    if (text.size() > longest) {
        shown += "...";
    }
    return shown;
}

}  // namespace vorzmq_tool

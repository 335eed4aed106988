// SPDX-License-Identifier: MIT
// vorzmq forward and vorzmq balance on zmq_proxy_steerable. libzmq moves
// every message; this file only sets the sockets up, hardens and binds the
// side that anyone may connect to, and runs a controller thread that turns
// a stop signal into the proxy's TERMINATE command and asks for STATISTICS.
#include "proxy.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <systemd/sd-daemon.h>
#include <zmq.h>

#include "metrics.h"
#include "proxy_watch.h"
#include "security.h"
#include "tool_runtime.h"
#include "vorzmq.h"
#include "wire.h"  // binding, hardening and liveness, as the library does them

namespace vorzmq_tool {
namespace {

// How long messages still queued may take to leave once a stop was asked
// for: the whole stop stays well within a second.
constexpr int stop_linger_ms = 200;
constexpr char control_endpoint[] = "inproc://vorzmq-proxy-control";
constexpr char upstreams_endpoint[] = "inproc://vorzmq-proxy-servers";
constexpr char clients_endpoint[] = "inproc://vorzmq-proxy-clients";
// How often the controller looks for a stop signal or a statistics time.
constexpr long control_tick_ns = 50L * 1000 * 1000;

using statistics_printer = std::function<std::string(const proxy_statistics&)>;

// A libzmq socket closed with its scope, before the context ends.
class zmq_socket_owner {
public:
    zmq_socket_owner(void* context, int type) : socket(zmq_socket(context, type))
    {
        if (socket == nullptr) {
            throw command_failure(std::string("cannot create a socket: ") + zmq_strerror(zmq_errno()));
        }
        zmq_setsockopt(socket, ZMQ_LINGER, &stop_linger_ms, sizeof stop_linger_ms);
    }
    ~zmq_socket_owner() { zmq_close(socket); }
    zmq_socket_owner(const zmq_socket_owner&) = delete;
    zmq_socket_owner& operator=(const zmq_socket_owner&) = delete;
    void* get() const { return socket; }

private:
    void* socket;
};

// Ends a socket's monitor before the monitor's reader closes: libzmq 4.3
// would go on sending events into a watch that nobody reads, and its I/O
// thread blocks on them once the watch is full.
class monitor_stopper {
public:
    explicit monitor_stopper(void* socket) : socket(socket) {}
    ~monitor_stopper()
    {
        if (socket != nullptr) {
            zmq_socket_monitor(socket, nullptr, 0);
        }
    }
    monitor_stopper(const monitor_stopper&) = delete;
    monitor_stopper& operator=(const monitor_stopper&) = delete;

private:
    void* socket;
};

// A libzmq monitor of one of the proxy's sockets and its reader, from
// before the socket's first connection.
class socket_watch {
public:
    socket_watch(void* context, void* watched, const char* endpoint, int events)
        : monitor(context, ZMQ_PAIR), stopper(watched)
    {
        zmq_socket_monitor(watched, endpoint, events);
        zmq_connect(monitor.get(), endpoint);
    }
    void* reader() const { return monitor.get(); }

private:
    zmq_socket_owner monitor;
    monitor_stopper stopper;  // declared last: ends the monitor before its reader closes
};

// The proxy's context: the library's, so that an allow-list authenticator
// can serve it. The authenticator goes before it, the sockets before both.
class proxy_context {
public:
    explicit proxy_context(const curve_keys& keys)
    {
        if (context.context == nullptr) {
            throw command_failure(std::string("cannot create a ZeroMQ context: ") + zmq_strerror(zmq_errno()));
        }
        allow_list = start_allow_list(context, keys);
    }
    void* get() const { return context.context; }
    const vorzmq_authenticator* authenticator() const { return allow_list.get(); }

private:
    vorzmq_context context;
    std::unique_ptr<vorzmq_authenticator> allow_list;
};

void set_curve_text(void* socket, int option, const std::string& value, const char* name)
{
    if (zmq_setsockopt(socket, option, value.data(), value.size()) != 0) {
        throw command_failure(std::string("cannot set the ") + name + ": " + zmq_strerror(zmq_errno()));
    }
}

void set_curve_int(void* socket, int option, int value, const char* name)
{
    if (zmq_setsockopt(socket, option, &value, sizeof value) != 0) {
        throw command_failure(std::string("cannot set the ") + name + ": " + zmq_strerror(zmq_errno()));
    }
}

// The bound side as a CURVE server, as the library makes its own: after
// harden_socket, whose ZAP domain an allow-list replaces.
void make_raw_curve_server(void* socket, const curve_keys& keys)
{
    if (!is_curve_server(keys)) {
        return;
    }
    set_curve_int(socket, ZMQ_CURVE_SERVER, 1, "CURVE server role");
    set_curve_text(socket, ZMQ_CURVE_SECRETKEY, keys.secret_key, "CURVE secret key");
    if (!keys.allow_dir.empty()) {
        set_curve_text(socket, ZMQ_ZAP_DOMAIN, vorzmq::internal::allow_list_zap_domain, "ZAP domain");
        set_curve_int(socket, vorzmq::internal::zap_enforce_domain_option, 1, "ZAP domain enforcement");
    }
}

// The connecting side as a CURVE client: the own key given, or a fresh pair.
// The server key is set before each connection (libzmq takes a copy of the
// options at connect time), so that each upstream may have its own.
void make_raw_curve_client(void* socket, const curve_keys& keys)
{
    if (!is_curve_client(keys)) {
        return;
    }
    std::string public_key = keys.public_key;
    std::string secret_key = keys.secret_key;
    if (secret_key.empty()) {
        char fresh_public[41] = "";
        char fresh_secret[41] = "";
        if (zmq_curve_keypair(fresh_public, fresh_secret) != 0) {
            throw command_failure(std::string("cannot make a CURVE key pair: ") + zmq_strerror(zmq_errno()));
        }
        public_key = fresh_public;
        secret_key = fresh_secret;
    }
    set_curve_text(socket, ZMQ_CURVE_PUBLICKEY, public_key, "CURVE public key");
    set_curve_text(socket, ZMQ_CURVE_SECRETKEY, secret_key, "CURVE secret key");
}

// An endpoint libzmq refuses ends the proxy as it ends every command:
// status 1, with libzmq's reason.
[[noreturn]] void attach_failed(const std::string& action, const std::string& url, int err)
{
    throw command_failure("cannot " + action + " " + url + ": " + zmq_strerror(err));
}

void set_int(void* socket, int option, int value)
{
    zmq_setsockopt(socket, option, &value, sizeof value);
}

// Heartbeats over tcp, a bounded connect attempt and, on the bound side, the
// handshake limit: as the library's own sockets have them.
void set_liveness(void* socket, const std::string& url, bool binds)
{
    for (const auto& setting : vorzmq::internal::liveness_options(nullptr, url, binds)) {
        if (setting.name != nullptr) {
            set_int(socket, setting.option, setting.value);
        }
    }
}

// The side that requesters or subscribers connect to: the same bounds as the
// library's own binding sockets, the same refusal to take over a live ipc
// endpoint, the same file mode. Returns the endpoint really bound.
std::string bind_hardened(void* socket, const std::string& url, const curve_keys& keys)
{
    static constexpr char signature[] = "vorzmq proxy bind";
    require_ipc_directory(url);
    vorzmq::internal::harden_socket(signature, socket, true);
    make_raw_curve_server(socket, keys);
    set_liveness(socket, url, true);
    if (vorzmq::internal::bind_endpoint(socket, url) != 0) {
        attach_failed("bind", url, errno);
    }
    char bound[1024] = {};
    size_t size = sizeof bound;
    zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, bound, &size);
    vorzmq::internal::wait_for_file_to_manifest_and_set_perms(bound);
    return bound;
}

// The upstreams a proxy connects to, each with its own keys.
class upstream_connections {
public:
    upstream_connections(void* socket, const std::vector<std::string>& urls, const curve_keys& keys)
        : socket(socket), urls(urls)
    {
        for (std::size_t index = 0; index < urls.size(); ++index) {
            server_keys.push_back(keys_for_upstream(keys, index, urls.size()).server_public_key);
        }
    }

    void connect_all(const std::string& command, const curve_keys& keys)
    {
        static constexpr char signature[] = "vorzmq proxy connect";
        vorzmq::internal::harden_socket(signature, socket, false);
        make_raw_curve_client(socket, keys);
        // One socket for every server: heartbeats as soon as one is over tcp.
        const auto tcp = std::find_if(urls.begin(), urls.end(),
                                      [](const std::string& url) { return url.rfind("tcp://", 0) == 0; });
        set_liveness(socket, tcp != urls.end() ? *tcp : urls.front(), false);
        for (std::size_t index = 0; index < urls.size(); ++index) {
            if (!connect(index)) {
                attach_failed("connect to", urls[index], zmq_errno());
            }
            const std::string note = unreachable_endpoint_note(urls[index]);
            if (!note.empty()) {
                std::cerr << command << ": " << note << '\n';
            }
        }
    }

    // Connects again to upstreams, one of which libzmq gave up on: every
    // one is disconnected before any is connected (see take_due_retries).
    // Called only while the proxy is not running: the socket is the proxy's.
    void reconnect(std::vector<std::string> again)
    {
        std::sort(again.begin(), again.end());
        again.erase(std::unique(again.begin(), again.end()), again.end());
        for (const std::string& url : again) {
            zmq_disconnect(socket, url.c_str());
        }
        for (const std::string& url : again) {
            const auto found = std::find(urls.begin(), urls.end(), url);
            if (found != urls.end()) {
                connect(static_cast<std::size_t>(found - urls.begin()));
            }
        }
    }

    const std::vector<std::string>& all() const { return urls; }

private:
    bool connect(std::size_t index)
    {
        if (!server_keys[index].empty()) {
            set_curve_text(socket, ZMQ_CURVE_SERVERKEY, server_keys[index], "CURVE server key");
        }
        return zmq_connect(socket, urls[index].c_str()) == 0;
    }

    void* socket;
    std::vector<std::string> urls;
    std::vector<std::string> server_keys;  // empty strings in clear text
};

std::vector<std::string> resolve_all(const std::vector<std::string>& endpoints)
{
    std::vector<std::string> urls;
    for (const std::string& endpoint : endpoints) {
        urls.push_back(resolve_endpoint(endpoint));
    }
    return urls;
}

bool ask_statistics(void* control, proxy_statistics& statistics)
{
    if (zmq_send(control, "STATISTICS", 10, 0) != 10) {
        return false;
    }
    uint64_t counters[8] = {};
    for (uint64_t& counter : counters) {
        if (zmq_recv(control, &counter, sizeof counter, 0) != static_cast<int>(sizeof counter)) {
            return false;
        }
    }
    static_assert(sizeof(proxy_statistics) == sizeof counters, "eight counters");
    std::memcpy(&statistics, counters, sizeof counters);
    return true;
}

// What the controller watches besides the proxy: the upstreams'
// connections and the bound side's refused clients.
struct proxy_watches {
    std::shared_ptr<server_states> upstreams;
    std::shared_ptr<client_watch> clients;
};

// Waits up to one tick for a stop signal, reading the watches' events
// meanwhile. Returns the signal, or 0.
int wait_one_tick(const sigset_t& stop_set, const proxy_watches& watches, const std::string& command)
{
    const timespec no_wait{0, 0};
    zmq_pollitem_t items[] = {{watches.upstreams->socket(), 0, ZMQ_POLLIN, 0},
                              {watches.clients->socket(), 0, ZMQ_POLLIN, 0}};
    zmq_poll(items, 2, control_tick_ns / 1000000);
    watches.upstreams->read(command);
    watches.clients->read(command);
    return std::max(sigtimedwait(&stop_set, nullptr, &no_wait), 0);
}

// What the controller asks of the thread that runs the proxy, which ends
// the proxy (TERMINATE) for either: to stop, or to connect again to the
// upstreams named here and run it anew.
struct proxy_steering {
    std::mutex mutex;
    bool stop = false;
    std::vector<std::string> reconnect;
};

// Ends the proxy's run so that its thread connects again to `urls`: paused
// first, so that the last STATISTICS of the run count every message it
// moved; those are added to `carried`, as the next run counts from 0.
void restart_for(void* control, proxy_steering& steering, std::vector<std::string> urls, proxy_statistics& carried)
{
    zmq_send(control, "PAUSE", 5, 0);
    proxy_statistics last_run{};
    if (ask_statistics(control, last_run)) {
        carried = last_run.plus(carried);
    }
    {
        const std::lock_guard<std::mutex> held(steering.mutex);
        steering.reconnect.insert(steering.reconnect.end(), urls.begin(), urls.end());
    }
    zmq_send(control, "TERMINATE", 9, 0);
}

// The controller: sends TERMINATE on the first stop signal, ends the process
// on the second, prints statistics every `stats_s` seconds, and restarts the
// proxy when an upstream that refused it is due to be tried again. Its
// control socket is closed (and `closed` set) before the context may end.
void control_proxy(void* context, sigset_t stop_set, int stats_s, const std::string& command,
                   const statistics_printer& print, proxy_watches watches,
                   std::shared_ptr<proxy_counts> counts, proxy_steering& steering,
                   const std::atomic<bool>& proxy_ended, std::promise<void> closed)
{
    void* control = zmq_socket(context, ZMQ_PAIR);
    const int patience_ms = 1000;
    set_int(control, ZMQ_SNDTIMEO, patience_ms);
    set_int(control, ZMQ_RCVTIMEO, patience_ms);
    set_int(control, ZMQ_LINGER, 0);
    zmq_connect(control, control_endpoint);
    timespec next_stats{};
    clock_gettime(CLOCK_MONOTONIC, &next_stats);
    timespec next_count = next_stats;
    next_stats.tv_sec += stats_s;
    int signal_number = 0;
    proxy_statistics carried{};
    while (!proxy_ended) {
        signal_number = wait_one_tick(stop_set, watches, command);
        if (signal_number > 0) {
            {
                const std::lock_guard<std::mutex> held(steering.mutex);
                steering.stop = true;
            }
            zmq_send(control, "TERMINATE", 9, 0);
            break;
        }
        std::vector<std::string> due = watches.upstreams->take_due_retries();
        if (!due.empty()) {
            restart_for(control, steering, std::move(due), carried);
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const bool print_due = stats_s > 0 && now.tv_sec >= next_stats.tv_sec;
        const bool count_due = counts->enabled() && now.tv_sec >= next_count.tv_sec;
        proxy_statistics statistics{};
        if ((print_due || count_due) && ask_statistics(control, statistics)) {
            statistics = statistics.plus(carried);
            counts->update(statistics);
            if (print_due) {
                std::cout << command << ": " << print(statistics) << watches.upstreams->summary() << std::endl;
            }
        }
        if (print_due) {
            next_stats.tv_sec += stats_s;
        }
        if (count_due) {
            next_count.tv_sec = now.tv_sec + 1;
        }
    }
    zmq_close(control);
    closed.set_value();
    if (signal_number > 0) {
        sigwait(&stop_set, &signal_number);
        std::cout.flush();
        _exit(128 + signal_number);
    }
}

// Runs libzmq's proxy between the two sockets until a stop signal, and
// anew after connecting again to upstreams the controller names. The
// controller reads the watches until this returns.
int run_steered(void* context, void* frontend, void* backend, upstream_connections& connected, sigset_t stop_set, int stats_s,
                const std::string& command, const statistics_printer& print,
                const std::shared_ptr<proxy_counts>& counts, const proxy_watches& watches)
{
    zmq_socket_owner control(context, ZMQ_PAIR);
    if (zmq_bind(control.get(), control_endpoint) != 0) {
        throw command_failure(std::string("cannot bind the control socket: ") + zmq_strerror(zmq_errno()));
    }
    std::atomic<bool> proxy_ended{false};
    proxy_steering steering;
    std::promise<void> closed;
    std::future<void> control_closed = closed.get_future();
    // The thread owns the promise: it may still be leaving set_value when
    // this thread has seen it and gone on.
    std::thread(control_proxy, context, stop_set, stats_s, command, print, watches, counts, std::ref(steering),
                std::cref(proxy_ended), std::move(closed))
        .detach();
    int result = 0;
    int err = 0;
    for (;;) {
        result = zmq_proxy_steerable(frontend, backend, nullptr, control.get());
        err = zmq_errno();
        std::vector<std::string> again;
        {
            const std::lock_guard<std::mutex> held(steering.mutex);
            if (result != 0 || steering.stop) {
                break;
            }
            again.swap(steering.reconnect);
        }
        connected.reconnect(again);
    }
    proxy_ended = true;
    control_closed.wait();
    if (result != 0) {
        throw command_failure(std::string("the proxy failed: ") + zmq_strerror(err));
    }
    return 0;
}

std::string joined(const std::vector<std::string>& urls)
{
    std::string text;
    for (const std::string& url : urls) {
        text += (text.empty() ? "" : ", ") + url;
    }
    return text;
}

}  // namespace

int run_forward(const forward_options& options)
{
    const std::string command = "vorzmq forward";
    const std::vector<std::string> from = resolve_all(options.from);
    const std::string to = resolve_endpoint(options.to);
    const curve_keys keys = load_curve_keys(options.curve, "forward");
    const sigset_t stop_set = block_stop_signals();
    service_metrics metrics(options.metrics, command);
    const auto counts = std::make_shared<proxy_counts>(metrics, "publications", "subscriptions", "subscriptions",
                                                       "publications", "publishers");
    proxy_context context(keys);
    counts->refused_clients = std::make_unique<refusal_follower>(metrics, context.authenticator());
    zmq_socket_owner publishers(context.get(), ZMQ_XSUB);
    zmq_socket_owner subscribers(context.get(), ZMQ_XPUB);
    set_int(publishers.get(), ZMQ_RCVHWM, options.hwm);
    // Lossy by default (no ZMQ_XPUB_NODROP): the proxy sends with blocking
    // calls, so a subscriber at its high-water mark would hold every other
    // one back. --lossless asks for exactly that.
    set_int(subscribers.get(), ZMQ_SNDHWM, options.hwm);
    set_int(subscribers.get(), ZMQ_XPUB_NODROP, options.lossless ? 1 : 0);
    const socket_watch upstream_events(context.get(), publishers.get(), upstreams_endpoint, server_states::events());
    const socket_watch client_events(context.get(), subscribers.get(), clients_endpoint, client_watch::events());
    const proxy_watches watches{std::make_shared<server_states>(upstream_events.reader(), from, is_curve_client(keys),
                                                                "publisher", counts),
                                std::make_shared<client_watch>(client_events.reader(), is_curve_server(keys))};
    upstream_connections connected(publishers.get(), from, keys);
    connected.connect_all(command, keys);
    const std::string bound = bind_hardened(subscribers.get(), to, keys);
    std::cerr << command << ": forwarding from " << joined(from) << " to " << bound << curve_note(keys)
              << (options.lossless ? "; lossless: a subscriber " + std::to_string(options.hwm) +
                                         " messages behind holds every one back"
                                   : "; a subscriber " + std::to_string(options.hwm) +
                                         " messages behind loses newer ones (--lossless: none is lost)")
              << std::endl;
    sd_notify(0, "READY=1");  // under systemd (Type=notify): started once bound
    const statistics_printer print = [](const proxy_statistics& s) {
        std::ostringstream line;
        line << "published " << s.frontend_messages_in << " messages (" << s.frontend_bytes_in
             << " bytes) forwarded " << s.backend_messages_out << " (" << s.backend_bytes_out
             << " bytes); subscription changes " << s.backend_messages_in << " (" << s.backend_bytes_in
             << " bytes)";
        return line.str();
    };
    return run_steered(context.get(), publishers.get(), subscribers.get(), connected, stop_set, options.stats_s,
                       command, print, counts, watches);
}

int run_balance(const balance_options& options)
{
    const std::string command = "vorzmq balance";
    const std::string listen = resolve_endpoint(options.listen);
    const std::vector<std::string> to = resolve_all(options.to);
    const curve_keys keys = load_curve_keys(options.curve, "balance");
    const sigset_t stop_set = block_stop_signals();
    service_metrics metrics(options.metrics, command);
    const auto counts =
        std::make_shared<proxy_counts>(metrics, "requests", "replies", "replies", "requests", "servers");
    proxy_context context(keys);
    counts->refused_clients = std::make_unique<refusal_follower>(metrics, context.authenticator());
    zmq_socket_owner requesters(context.get(), ZMQ_ROUTER);
    zmq_socket_owner servers(context.get(), ZMQ_DEALER);
    // Requests go only to servers that are connected: a dead server's pipe,
    // kept for its reconnection, would otherwise take its turn of requests
    // and lose them all.
    set_int(servers.get(), ZMQ_IMMEDIATE, 1);
    const socket_watch upstream_events(context.get(), servers.get(), upstreams_endpoint, server_states::events());
    const socket_watch client_events(context.get(), requesters.get(), clients_endpoint, client_watch::events());
    const proxy_watches watches{
        std::make_shared<server_states>(upstream_events.reader(), to, is_curve_client(keys), "server", counts),
        std::make_shared<client_watch>(client_events.reader(), is_curve_server(keys))};
    upstream_connections connected(servers.get(), to, keys);
    connected.connect_all(command, keys);
    const std::string bound = bind_hardened(requesters.get(), listen, keys);
    std::cerr << command << ": balancing requests from " << bound << curve_note(keys) << " over " << joined(to)
              << std::endl;
    sd_notify(0, "READY=1");  // under systemd (Type=notify): started once bound
    const statistics_printer print = [](const proxy_statistics& s) {
        std::ostringstream line;
        line << "requests " << s.frontend_messages_in << " (" << s.frontend_bytes_in << " bytes) replies "
             << s.frontend_messages_out << " (" << s.frontend_bytes_out << " bytes) unanswered "
             << s.frontend_messages_in - s.frontend_messages_out;
        return line.str();
    };
    return run_steered(context.get(), requesters.get(), servers.get(), connected, stop_set, options.stats_s, command,
                       print, counts, watches);
}

}  // namespace vorzmq_tool

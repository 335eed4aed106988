// SPDX-License-Identifier: MIT
// vorzmq forward and vorzmq balance against what they wrap, each proxy in
// its own process as in service:
//   forward   throughput of 16 B and 1 KiB messages (a topic frame and a
//             data frame) through `vorzmq forward` and through a raw
//             zmq_proxy(XSUB, XPUB), interleaved, medians of 9;
//   slow      a paced stream to one fast and one slow subscriber (1 ms a
//             message) behind a raw proxy whose XPUB drops (libzmq's
//             default) or has ZMQ_XPUB_NODROP: how long each takes, and
//             what each got;
//   balance   requests a second through `vorzmq balance` from 8 requesters,
//             to 1 and to 2 servers that take 1 ms a request;
//   metrics   `vorzmq forward` (16 B messages) and `vorzmq relay`
//             (re-broadcast requests a second) with and without --metrics,
//             interleaved, medians of 9.
// Usage: vorzmq_bench_proxy VORZMQ_TOOL forward|slow|balance|metrics
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <zmq.h>

#include "bench_common.h"
#include "vorzmq.h"

log4cxx::LoggerPtr logger;  // the library's logger symbol; unused here

namespace {

using namespace vorzmq_bench;
using clock_type = std::chrono::steady_clock;

std::string self;  // this program, for the raw proxy's own process

pid_t spawn(const std::vector<std::string>& arguments, bool quiet = false)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (quiet && freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(127);
        }
        std::vector<char*> argv;
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Stops a proxy; the CPU time it used, in seconds.
double stop(pid_t pid)
{
    kill(pid, SIGTERM);
    rusage usage{};
    wait4(pid, nullptr, 0, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The raw proxy's process: XSUB connected to `from`, XPUB bound at `to`.
int raw_forward(const std::string& from, const std::string& to, int hwm, int nodrop)
{
    signal(SIGTERM, SIG_DFL);
    void* context = zmq_ctx_new();
    void* xsub = zmq_socket(context, ZMQ_XSUB);
    void* xpub = zmq_socket(context, ZMQ_XPUB);
    set_int_option(xsub, ZMQ_RCVHWM, hwm);
    set_int_option(xpub, ZMQ_SNDHWM, hwm);
    set_int_option(xpub, ZMQ_XPUB_NODROP, nodrop);
    zmq_connect(xsub, from.c_str());
    zmq_bind(xpub, to.c_str());
    zmq_proxy(xsub, xpub, nullptr);
    return 0;
}

void send_two(void* socket, const std::string& data)
{
    zmq_send(socket, "t", 1, ZMQ_SNDMORE);
    zmq_send(socket, data.data(), data.size(), 0);
}

// Receives a topic and data message; its data's first byte, or 0 on time-out.
char receive_two(void* socket)
{
    zmq_msg_t part;
    zmq_msg_init(&part);
    char first = 0;
    for (bool more = true; more;) {
        if (zmq_msg_recv(&part, socket, 0) < 0) {
            zmq_msg_close(&part);
            return 0;
        }
        more = zmq_msg_more(&part);
        if (!more && zmq_msg_size(&part) > 0) {
            first = *static_cast<const char*>(zmq_msg_data(&part));
        }
    }
    zmq_msg_close(&part);
    return first;
}

void* subscriber(void* context, const std::string& url, int hwm)
{
    void* socket = zmq_socket(context, ZMQ_SUB);
    set_int_option(socket, ZMQ_RCVHWM, hwm);
    set_int_option(socket, ZMQ_RCVTIMEO, 20);
    zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "t", 1);
    zmq_connect(socket, url.c_str());
    return socket;
}

// Greets through the proxy until every subscriber heard a greeting.
void await_subscriptions(void* publisher, const std::vector<void*>& subscribers)
{
    std::vector<bool> heard(subscribers.size(), false);
    while (std::find(heard.begin(), heard.end(), false) != heard.end()) {
        send_two(publisher, "w");
        for (size_t i = 0; i < subscribers.size(); ++i) {
            while (!heard[i] && receive_two(subscribers[i]) == 'w') {
                heard[i] = true;
            }
        }
    }
}

// Receives until the end mark 'e'; counts the data messages ('d').
struct tally {
    long received = 0;
    double seconds = 0;
};

tally receive_until_end(void* socket, clock_type::time_point started, int pause_us)
{
    tally counted;
    for (;;) {
        const char first = receive_two(socket);
        if (first == 'e') {
            break;
        }
        if (first == 'd') {
            ++counted.received;
            if (pause_us > 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
            }
        }
    }
    counted.seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    return counted;
}

struct forward_trial {
    tally fast, slow;
    double proxy_cpu_s = 0;  // the proxy process's whole CPU time, start-up included
};

// One run: a publisher, the proxy `command`, and one or two subscribers.
forward_trial run_forward(const std::vector<std::string>& command, const std::string& from, const std::string& to,
                          size_t size, long count, bool with_slow, bool paced = false)
{
    void* context = zmq_ctx_new();
    void* publisher = zmq_socket(context, ZMQ_PUB);
    set_int_option(publisher, ZMQ_SNDHWM, 0);
    zmq_bind(publisher, from.c_str());
    const pid_t proxy = spawn(command);
    std::vector<void*> subscribers{subscriber(context, to, 0)};
    if (with_slow) {
        subscribers.push_back(subscriber(context, to, 100));
    }
    await_subscriptions(publisher, subscribers);
    std::string data = payload(size);
    data[0] = 'd';
    forward_trial trial;
    std::atomic<int> ended{0};
    const int subscriber_count = with_slow ? 2 : 1;
    const auto started = clock_type::now();
    std::thread slow_thread;
    if (with_slow) {
        slow_thread = std::thread([&] { 
            trial.slow = receive_until_end(subscribers[1], started, 1000);
            ++ended;
        });
    }
    std::thread fast_thread([&] {
        trial.fast = receive_until_end(subscribers[0], started, 0);
        ++ended;
    });
    for (long i = 0; i < count; ++i) {
        send_two(publisher, data);
        if (paced && i % 10 == 9) {  // about 5,000 a second
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // The end mark, repeated: a lossy proxy may drop one for a slow subscriber.
    while (ended < subscriber_count) {
        send_two(publisher, "e");
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    fast_thread.join();
    if (slow_thread.joinable()) {
        slow_thread.join();
    }
    trial.proxy_cpu_s = stop(proxy);
    for (void* socket : subscribers) {
        zmq_close(socket);
    }
    set_int_option(publisher, ZMQ_LINGER, 0);
    zmq_close(publisher);
    zmq_ctx_term(context);
    return trial;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void bench_forward(const std::string& tool)
{
    std::printf("| scenario | raw zmq_proxy | vorzmq forward | ratio | CPU a message, raw | CPU a message, forward "
                "| ratio |\n|---|---:|---:|---:|---:|---:|---:|\n");
    for (const size_t size : {size_t{16}, size_t{1024}}) {
        const long count = size == 16 ? 500000 : 100000;
        std::vector<double> raw, wrapped, raw_cpu, wrapped_cpu;
        for (int repetition = 0; repetition < 9; ++repetition) {
            for (const bool use_tool : {repetition % 2 == 0, repetition % 2 != 0}) {
                const std::string from = free_tcp_url(), to = free_tcp_url();
                const std::vector<std::string> command =
                    use_tool ? std::vector<std::string>{tool, "forward", "--from", from, "--to", to, "--hwm", "0"}
                             : std::vector<std::string>{self, "raw-forward", from, to, "0", "0"};
                const forward_trial trial = run_forward(command, from, to, size, count, false);
                (use_tool ? wrapped : raw).push_back(static_cast<double>(trial.fast.received) / trial.fast.seconds);
                (use_tool ? wrapped_cpu : raw_cpu).push_back(trial.proxy_cpu_s * 1e6 / static_cast<double>(count));
            }
        }
        std::printf("| forward/tcp/%zuB | %.0f msg/s | %.0f msg/s | %.3f | %.2f µs | %.2f µs | %.3f |\n", size,
                    median(raw), median(wrapped), median(wrapped) / median(raw), median(raw_cpu),
                    median(wrapped_cpu), median(wrapped_cpu) / median(raw_cpu));
    }
}

void bench_slow()
{
    const long count = 20000;
    std::printf("%ld messages of 1 KiB paced at about 5,000 a second, --hwm 1000 in the proxy, the slow subscriber "
                "takes 1 ms a message\n",
                count);
    for (const int nodrop : {0, 1}) {
        const std::string from = free_tcp_url(), to = free_tcp_url();
        const forward_trial trial =
            run_forward({self, "raw-forward", from, to, "1000", std::to_string(nodrop)}, from, to, 1024, count, true, true);
        std::printf("ZMQ_XPUB_NODROP %d: fast subscriber got %ld in %.3f s; slow subscriber got %ld in %.3f s\n",
                    nodrop, trial.fast.received, trial.fast.seconds, trial.slow.received, trial.slow.seconds);
    }
}

double run_balance(const std::string& tool, int servers)
{
    void* context = zmq_ctx_new();
    std::atomic<bool> done{false};
    std::vector<std::thread> server_threads;
    std::vector<std::string> command{tool, "balance", "--listen", free_tcp_url(), "--to"};
    const std::string listen = command[3];
    for (int i = 0; i < servers; ++i) {
        const std::string url = free_tcp_url();
        command.push_back(url);
        void* reply = zmq_socket(context, ZMQ_REP);
        set_int_option(reply, ZMQ_RCVTIMEO, 50);
        zmq_bind(reply, url.c_str());
        server_threads.emplace_back([reply, &done] {
            char buffer[256];
            while (!done) {
                if (zmq_recv(reply, buffer, sizeof buffer, 0) >= 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    zmq_send(reply, "OK", 3, 0);
                }
            }
            zmq_close(reply);
        });
    }
    const pid_t proxy = spawn(command);
    constexpr int requesters = 8;
    constexpr int each = 250;
    std::atomic<long> answered{0};
    const auto exchange = [&](void* request) {
        char reply[16];
        return zmq_send(request, "request", 7, 0) == 7 && zmq_recv(request, reply, sizeof reply, 0) > 0;
    };
    {
        void* probe = zmq_socket(context, ZMQ_REQ);
        zmq_connect(probe, listen.c_str());
        exchange(probe);  // the balancer is up and has a server
        zmq_close(probe);
    }
    const auto started = clock_type::now();
    std::vector<std::thread> requester_threads;
    for (int i = 0; i < requesters; ++i) {
        requester_threads.emplace_back([&] {
            void* request = zmq_socket(context, ZMQ_REQ);
            zmq_connect(request, listen.c_str());
            for (int n = 0; n < each; ++n) {
                answered += exchange(request) ? 1 : 0;
            }
            zmq_close(request);
        });
    }
    for (std::thread& thread : requester_threads) {
        thread.join();
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    done = true;
    for (std::thread& thread : server_threads) {
        thread.join();
    }
    stop(proxy);
    zmq_ctx_term(context);
    return static_cast<double>(answered.load()) / seconds;
}

void bench_balance(const std::string& tool)
{
    std::vector<double> one, two;
    for (int repetition = 0; repetition < 5; ++repetition) {
        one.push_back(run_balance(tool, 1));
        two.push_back(run_balance(tool, 2));
    }
    std::printf("| balance/tcp/1 server | %.0f req/s |\n| balance/tcp/2 servers | %.0f req/s |\n"
                "| 2 servers / 1 server | %.3f |\n",
                median(one), median(two), median(two) / median(one));
}

}  // namespace

// Re-broadcast requests a second through `vorzmq relay`, one client
// waiting for each acknowledgement.
double run_relay(const std::string& tool, bool metrics)
{
    std::vector<std::string> command{tool, "relay", "--listen", free_tcp_url(), "--publish", free_tcp_url()};
    if (metrics) {
        command.insert(command.end(), {"--metrics", "127.0.0.1:0"});
    }
    const pid_t relay = spawn(command, true);
    double rate = 0;
    {
        vorzmq_context context;
        vorzmq_rebrdcst_socket client(context, command[3]);
        do {
            client.rebrdcst("probe", "1");  // until the relay is up
        } while (vorzmq_last_result() != vorzmq_result::ok);
        constexpr int requests = 5000;
        const auto started = clock_type::now();
        for (int i = 0; i < requests; ++i) {
            client.rebrdcst("news", "{\"n\":1}");
        }
        rate = requests / std::chrono::duration<double>(clock_type::now() - started).count();
    }
    stop(relay);
    return rate;
}

void bench_metrics(const std::string& tool)
{
    std::vector<double> forward_plain, forward_counted, relay_plain, relay_counted;
    for (int repetition = 0; repetition < 9; ++repetition) {
        for (const bool counted : {repetition % 2 == 0, repetition % 2 != 0}) {
            const std::string from = free_tcp_url(), to = free_tcp_url();
            std::vector<std::string> command{tool, "forward", "--from", from, "--to", to, "--hwm", "0"};
            if (counted) {
                command.insert(command.end(), {"--metrics", "127.0.0.1:0"});
            }
            const forward_trial trial = run_forward(command, from, to, 16, 500000, false);
            (counted ? forward_counted : forward_plain)
                .push_back(static_cast<double>(trial.fast.received) / trial.fast.seconds);
            (counted ? relay_counted : relay_plain).push_back(run_relay(tool, counted));
        }
    }
    std::printf("| scenario | without --metrics | with --metrics | ratio (without / with) |\n|---|---:|---:|---:|\n");
    std::printf("| forward/tcp/16B | %.0f msg/s | %.0f msg/s | %.3f |\n", median(forward_plain),
                median(forward_counted), median(forward_plain) / median(forward_counted));
    std::printf("| relay/tcp | %.0f req/s | %.0f req/s | %.3f |\n", median(relay_plain), median(relay_counted),
                median(relay_plain) / median(relay_counted));
}

int main(int argc, char** argv)
{
    self = argv[0];
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "raw-forward" && argc == 6) {
        return raw_forward(argv[2], argv[3], std::stoi(argv[4]), std::stoi(argv[5]));
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s VORZMQ_TOOL forward|slow|balance|metrics\n", argv[0]);
        return 2;
    }
    const std::string tool = argv[1];
    const std::string which = argv[2];
    if (which == "forward") {
        bench_forward(tool);
    } else if (which == "slow") {
        bench_slow();
    } else if (which == "balance") {
        bench_balance(tool);
    } else if (which == "metrics") {
        bench_metrics(tool);
    } else {
        return 2;
    }
    return 0;
}

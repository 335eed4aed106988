// SPDX-License-Identifier: MIT
// A round trip through a server that waits in a poller, side by side: the
// library's vorzmq_poller over a vorzmq_reply_socket ("lib") against raw
// zmq_poll and zmq_msg_recv on a REP socket ("raw"). Both servers take the
// request, answer it with the OK reply and append its text to a stream; the
// client is the same raw REQ socket code for both, so the difference is the
// server's wait and receive.
//
//   taskset -c 1 build-bench/bench/vorzmq_bench_poller --benchmark_repetitions=7
//       --benchmark_enable_random_interleaving=true
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/patternlayout.h>
#include <zmq.h>

#include "bench_common.h"
#include "bench_main.h"
#include "vorzmq.h"

// WARN: any record on stderr means a benchmark went wrong.
log4cxx::LoggerPtr logger;

namespace {

using namespace vorzmq_bench;

constexpr char ok_reply[] = "ok";
constexpr int32_t server_wait_ms = 1000;  // how soon a server sees `stopping`

std::unique_ptr<vorzmq_context> library_context;
void* raw_context = nullptr;

// One server per implementation and transport, on its own thread, alive until
// the end of the run.
class server {
public:
    using body = std::function<void(std::promise<void>&)>;
    explicit server(const body& serve)
    {
        std::promise<void> ready;
        std::future<void> bound = ready.get_future();
        thread = std::thread([serve, ready = std::move(ready)]() mutable { serve(ready); });
        bound.wait();
    }
    ~server() { thread.join(); }

private:
    std::thread thread;
};

// One request served, kept out of line so that callgrind can count it:
// valgrind --tool=callgrind --toggle-collect='*serve_once*' ...
[[gnu::noinline]] void library_serve_once(vorzmq_poller& poller, vorzmq_reply_socket& reply,
                                          std::stringstream& stream)
{
    if (poller.wait(server_wait_ms) <= 0 || !poller.readable(reply)) {
        return;
    }
    check(reply.receive(stream, true), "library request received");
    stream.seekp(0);
}

void library_serve(const std::string& url, std::promise<void>& ready)
{
    vorzmq_reply_socket reply(*library_context, url);
    vorzmq_poller poller;
    poller.add(reply);
    poller.wait(0);  // binds, with its pause, before any timing
    ready.set_value();
    std::stringstream stream;
    while (!stopping.load(std::memory_order_relaxed)) {
        library_serve_once(poller, reply, stream);
    }
}

// The leanest raw server giving the same bytes: one frame taken (extra
// frames dropped, as a REP socket must), the OK reply, the text appended.
[[gnu::noinline]] void raw_serve_once(zmq_pollitem_t& item, std::stringstream& stream)
{
    if (zmq_poll(&item, 1, server_wait_ms) <= 0) {
        return;
    }
    zmq_msg_t request;
    zmq_msg_init(&request);
    if (zmq_msg_recv(&request, item.socket, 0) == -1 || !discard_rest(item.socket, zmq_msg_more(&request))) {
        zmq_msg_close(&request);
        check(false, "raw request received");
        return;
    }
    check(zmq_send(item.socket, ok_reply, sizeof ok_reply, 0) == sizeof ok_reply, "raw ok reply sent");
    stream.write(static_cast<const char*>(zmq_msg_data(&request)), static_cast<std::streamsize>(text_length(request)));
    zmq_msg_close(&request);
    stream.seekp(0);
}

void raw_serve(const std::string& url, std::promise<void>& ready)
{
    void* reply = raw_socket(raw_context, ZMQ_REP, url, true);
    ready.set_value();
    std::stringstream stream;
    zmq_pollitem_t item{reply, 0, ZMQ_POLLIN, 0};
    while (!stopping.load(std::memory_order_relaxed)) {
        raw_serve_once(item, stream);
    }
    zmq_close(reply);
}

// The client: a raw REQ socket that sends and waits for the OK reply. It is
// made in its server's context: one I/O thread serves both ends, as in a
// process whose client and server are library sockets.
struct exchange {
    exchange(void* context, const std::string& url, const server::body& serve)
        : serving(serve), request(raw_socket(context, ZMQ_REQ, url, false))
    {
        for (int i = 0; i < 10; ++i) {
            round_trip("warm-up");
        }
    }
    ~exchange() { zmq_close(request); }
    exchange(const exchange&) = delete;
    exchange& operator=(const exchange&) = delete;

    void round_trip(const std::string& message)
    {
        check(zmq_send(request, message.data(), message.size(), 0) == static_cast<int>(message.size()), "send");
        char reply[8];
        check(zmq_recv(request, reply, sizeof reply, 0) == sizeof ok_reply && std::memcmp(reply, ok_reply, 3) == 0,
              "ok reply received");
    }

    server serving;
    void* request;
};

std::map<std::string, std::unique_ptr<exchange>> exchanges;

exchange& exchange_for(const std::string& implementation, const std::string& transport)
{
    auto& slot = exchanges[implementation + "/" + transport];
    if (!slot) {
        const std::string url = transport == "ipc" ? ipc_url("poller-" + implementation) : free_tcp_url();
        const server::body serve = [implementation, url](std::promise<void>& ready) {
            implementation == "lib" ? library_serve(url, ready) : raw_serve(url, ready);
        };
        void* const context = implementation == "lib" ? library_context->context : raw_context;
        slot = std::make_unique<exchange>(context, url, serve);
    }
    return *slot;
}

void round_trips(benchmark::State& state, const std::string& implementation, const std::string& transport,
                 size_t size)
{
    exchange& pair = exchange_for(implementation, transport);
    const std::string message = payload(size);
    for (auto _ : state) {
        pair.round_trip(message);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void register_all()
{
    for (const char* transport : {"ipc", "tcp"}) {
        for (const size_t size : {size_t{16}, size_t{1024}}) {
            const std::string name = std::string("poller_round_trip/") + transport + "/" +
                                     (size == 16 ? "16B" : "1KiB");
            for (const char* implementation : {"lib", "raw"}) {
                benchmark::RegisterBenchmark((name + "/" + implementation).c_str(),
                                             [=](benchmark::State& state) {
                                                 round_trips(state, implementation, transport, size);
                                             })
                    ->UseRealTime();
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    configure_logger("vorzmq-bench-poller");
    library_context = std::make_unique<vorzmq_context>();
    raw_context = zmq_ctx_new();
    return run_benchmarks(argc, argv, register_all, [] {
        exchanges.clear();
        library_context.reset();
        zmq_ctx_destroy(raw_context);
    });
}

// SPDX-License-Identifier: MIT
// Every scenario twice, side by side: through libvorzmq ("lib") and through
// the leanest raw libzmq code that hands the host the same bytes ("raw": same
// frames and checks, each frame received into a zmq_msg_t that is reused from
// call to call, text appended with stream.write). Each lib/raw pair is registered
// adjacently; run with --benchmark_enable_random_interleaving and
// repetitions so that the machine's drift falls on both alike.
//
// Sockets are bound, connected and warmed up once, before any timing: a
// library bind pauses 500 ms by design.
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
#include <json/reader.h>
#include <json/writer.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/logger.h>
#include <log4cxx/patternlayout.h>
#include <zmq.h>

#include "bench_common.h"
#include "bench_main.h"
#include "vorzmq.h"

// WARN: the library logs nothing at WARN or above while exchanges succeed, so
// any record on stderr means a benchmark went wrong. The DEBUG and TRACE
// records (constructors, receive time-outs of idle servers) are disabled and
// must cost nothing.
log4cxx::LoggerPtr logger;

namespace {

using namespace vorzmq_bench;

constexpr char ok_reply[] = "ok";
constexpr size_t reply_capacity = (1 << 20) + 64;
constexpr int window = 32;  // published messages per pub/sub iteration

constexpr size_t warm_up_size = 7;
constexpr size_t exchange_sizes[] = {16, 1024, 64 * 1024, 1024 * 1024};

// An acknowledging server appends the text after its OK reply has let the
// client go on, so it cannot know which benchmark sent it; any text that
// lost or gained bytes still fails this.
bool is_sent_size(size_t size)
{
    return size == warm_up_size || std::find(std::begin(exchange_sizes), std::end(exchange_sizes), size) !=
                                       std::end(exchange_sizes);
}

// Servers wait with a 1000 ms time-out, so they see this within a second.
std::unique_ptr<vorzmq_context> library_context_holder;
void* raw_context_handle = nullptr;

vorzmq_context& library_context()
{
    return *library_context_holder;
}

bool rcvmore(void* socket)
{
    int more = 0;
    size_t size = sizeof more;
    return zmq_getsockopt(socket, ZMQ_RCVMORE, &more, &size) == 0 && more != 0;
}

// A zmq_msg_t that a raw peer receives every frame into, call after call:
// zmq_msg_recv releases what it held before.
struct reused_message {
    reused_message() { zmq_msg_init(&message); }
    ~reused_message() { zmq_msg_close(&message); }
    reused_message(const reused_message&) = delete;
    reused_message& operator=(const reused_message&) = delete;
    zmq_msg_t message;
};

// Raw libzmq's version of the host's part of a reply-socket receive: one
// frame, extra frames dropped, the text appended to the host's stream.
[[gnu::noinline]] bool raw_receive_into_stream(void* socket, zmq_msg_t& request, std::stringstream& stream,
                                               bool acknowledge)
{
    if (zmq_msg_recv(&request, socket, 0) == -1 || !discard_rest(socket, zmq_msg_more(&request))) {
        return false;
    }
    if (acknowledge) {
        check(zmq_send(socket, ok_reply, sizeof ok_reply, 0) == sizeof ok_reply, "raw ok reply sent");
    }
    stream.write(static_cast<const char*>(zmq_msg_data(&request)), static_cast<std::streamsize>(text_length(request)));
    return true;
}

// The request side of an acknowledged exchange in raw libzmq.
[[gnu::noinline]] void raw_acknowledged_send(void* socket, zmq_msg_t& reply, const std::string& message)
{
    check(zmq_send(socket, message.data(), message.size(), 0) == static_cast<int>(message.size()), "raw send");
    const bool received = zmq_msg_recv(&reply, socket, 0) != -1 && discard_rest(socket, zmq_msg_more(&reply));
    check(received && text_length(reply) == 2 && std::memcmp(zmq_msg_data(&reply), ok_reply, 2) == 0,
          "raw ok reply received");
}

struct fixture {
    virtual ~fixture() = default;
};

std::map<std::string, std::unique_ptr<fixture>> fixtures;

template <typename T, typename... Args>
T& fixture_for(const std::string& key, Args&&... args)
{
    auto& slot = fixtures[key];
    if (!slot) {
        slot = std::make_unique<T>(std::forward<Args>(args)...);
    }
    return static_cast<T&>(*slot);
}

// A server on its own thread, stopped by `stopping` and joined on destruction.
class server_thread {
public:
    template <typename Body>
    explicit server_thread(Body body)
    {
        std::promise<void> ready;
        std::future<void> bound = ready.get_future();
        thread = std::thread([body, ready = std::move(ready)]() mutable { body(ready); });
        bound.wait();
    }
    ~server_thread() { thread.join(); }

private:
    std::thread thread;
};

// Acknowledged or unacknowledged exchanges between a library request socket
// and a library reply socket.
struct library_exchange : fixture {
    library_exchange(const std::string& url, bool acknowledged, bool curve)
        : request(library_context(), url),
          server([this, url, acknowledged, curve](std::promise<void>& ready) { serve(url, acknowledged, curve, ready); })
    {
        if (curve) {
            check(request.set_curve_client(bench_keys().server_public, bench_keys().client_secret), "curve client");
        }
        for (int i = 0; i < 10; ++i) {
            round_trip(std::string(warm_up_size, 'w'), acknowledged);
        }
    }

    void serve(const std::string& url, bool acknowledged, bool curve, std::promise<void>& ready)
    {
        vorzmq_reply_socket reply(library_context(), url);
        if (curve) {
            check(reply.set_curve_server(bench_keys().server_secret, vorzmq_curve_clients::any), "curve server");
        }
        reply.init_if_necessary();
        ready.set_value();
        std::stringstream stream;
        std::string response;
        while (!stopping.load(std::memory_order_relaxed)) {
            if (!reply.receive(stream, acknowledged)) {
                continue;
            }
            const auto size = static_cast<size_t>(stream.tellp());
            check(is_sent_size(size), "library server received whole text");
            if (!acknowledged) {
                if (response.size() != size) {
                    response.assign(size, 'r');
                }
                reply.send(response);
            }
            stream.seekp(0);
        }
    }

    [[gnu::noinline]] void round_trip(const std::string& message, bool acknowledged)
    {
        request.send(message, acknowledged);
        if (!acknowledged) {
            check(request.receive(reply_buffer.get(), reply_capacity) == message.size(), "library reply size");
        }
    }

    std::unique_ptr<char[]> reply_buffer{new char[reply_capacity]};
    vorzmq_request_socket request;
    server_thread server;
};

// The same exchanges in raw libzmq.
struct raw_exchange : fixture {
    raw_exchange(void* context, const std::string& url, bool acknowledged, bool curve)
        : server([this, context, url, acknowledged, curve](std::promise<void>& ready) {
              serve(context, url, acknowledged, curve, ready);
          }),
          request(raw_socket(context, ZMQ_REQ, url, false, curve))
    {
        for (int i = 0; i < 10; ++i) {
            round_trip(std::string(warm_up_size, 'w'), acknowledged);
        }
    }
    ~raw_exchange() override { zmq_close(request); }

    void serve(void* context, const std::string& url, bool acknowledged, bool curve, std::promise<void>& ready)
    {
        void* reply = raw_socket(context, ZMQ_REP, url, true, curve);
        ready.set_value();
        std::stringstream stream;
        std::string response;
        reused_message request;
        while (!stopping.load(std::memory_order_relaxed)) {
            if (!raw_receive_into_stream(reply, request.message, stream, acknowledged)) {
                continue;
            }
            const auto size = static_cast<size_t>(stream.tellp());
            check(is_sent_size(size), "raw server received whole text");
            if (!acknowledged) {
                if (response.size() != size) {
                    response.assign(size, 'r');
                }
                check(zmq_send(reply, response.data(), response.size(), 0) == static_cast<int>(response.size()),
                      "raw response sent");
            }
            stream.seekp(0);
        }
        zmq_close(reply);
    }

    [[gnu::noinline]] void round_trip(const std::string& message, bool acknowledged)
    {
        if (acknowledged) {
            raw_acknowledged_send(request, reply.message, message);
            return;
        }
        check(zmq_send(request, message.data(), message.size(), 0) == static_cast<int>(message.size()), "raw send");
        const int size = zmq_recv(request, reply_buffer.get(), reply_capacity, 0);
        const bool whole = size != -1 && !(rcvmore(request) && !discard_rest(request, true)) &&
                           static_cast<size_t>(size) <= reply_capacity;
        check(whole && static_cast<size_t>(size) == message.size(), "raw reply size");
    }

    std::unique_ptr<char[]> reply_buffer{new char[reply_capacity]};
    reused_message reply;
    server_thread server;
    void* request;
};

std::string exchange_url(const std::string& transport, const std::string& name)
{
    return transport == "ipc" ? ipc_url(name) : free_tcp_url();
}

void library_round_trip(benchmark::State& state, std::string transport, bool acknowledged, size_t size,
                        bool curve = false)
{
    const std::string key = "lib/" + transport + (acknowledged ? "/ack" : "/noack") + (curve ? "/curve" : "");
    auto& pair = fixture_for<library_exchange>(
        key, exchange_url(transport, "lib-" + std::string(acknowledged ? "ack" : "noack") + (curve ? "-curve" : "")),
        acknowledged, curve);
    const std::string message = payload(size);
    for (auto _ : state) {
        pair.round_trip(message, acknowledged);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void raw_round_trip(benchmark::State& state, std::string transport, bool acknowledged, size_t size,
                    bool curve = false)
{
    const std::string key = "raw/" + transport + (acknowledged ? "/ack" : "/noack") + (curve ? "/curve" : "");
    auto& pair = fixture_for<raw_exchange>(
        key, raw_context_handle,
        exchange_url(transport, "raw-" + std::string(acknowledged ? "ack" : "noack") + (curve ? "-curve" : "")),
        acknowledged, curve);
    const std::string message = payload(size);
    for (auto _ : state) {
        pair.round_trip(message, acknowledged);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// ---------------------------------------------------------------- publish/subscribe

// Feeds a subscriber with the frames the library's publish socket sends
// ("quotes$", then the data and a zero byte). A library publish socket keeps
// ZMQ_SNDHWM 16 and takes in its subscribers' read credits about once a
// millisecond, so it drops any burst of more than 16; this feed has no limit,
// so every message of a window arrives and the delivered rate measures the
// receiving side. The publish socket's own cost is the "publish send" pair.
void* unlimited_feed(void* context, const std::string& url, bool curve)
{
    void* feed = zmq_socket(context, ZMQ_PUB);
    set_int_option(feed, ZMQ_SNDHWM, 0);
    set_int_option(feed, ZMQ_LINGER, 0);
    if (curve) {
        set_raw_curve(feed, true);
    }
    if (zmq_bind(feed, url.c_str()) != 0) {
        std::fprintf(stderr, "bind %s: %s\n", url.c_str(), zmq_strerror(zmq_errno()));
        std::exit(1);
    }
    return feed;
}

void publish(void* feed, const std::string& data)
{
    check(zmq_send(feed, "quotes$", 7, ZMQ_SNDMORE) == 7, "feed topic sent");
    check(zmq_send(feed, data.c_str(), data.size() + 1, 0) == static_cast<int>(data.size() + 1), "feed data sent");
}

// Publishes until the subscription has reached the publisher, then drains.
template <typename TryReceive>
void settle_subscription(void* feed, TryReceive try_receive)
{
    const std::string probe = "probe";
    bool arrived = false;
    for (int attempt = 0; attempt < 1000 && !arrived; ++attempt) {
        publish(feed, probe);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        arrived = try_receive();
    }
    check(arrived, "subscription settled");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    while (try_receive()) {
    }
}

struct library_subscriber : fixture {
    library_subscriber(const std::string& url, bool curve)
        : feed(unlimited_feed(library_context().context, url, curve)), subscriber(library_context(), url)
    {
        if (curve) {
            check(subscriber.set_curve_client(bench_keys().server_public, bench_keys().client_secret), "curve client");
        }
        // A lost message fails a check instead of blocking for ever.
        subscriber.set_receive_timeout_ms(2000);
        subscriber.add_topic("quotes");
        subscriber.set_receive_flags(ZMQ_DONTWAIT);
        std::stringstream stream;
        settle_subscription(feed, [&] { return subscriber.receive(stream); });
        subscriber.set_receive_flags(0);
    }
    ~library_subscriber() override { zmq_close(feed); }

    void* feed;
    vorzmq_sub_socket subscriber;
};

struct raw_subscriber : fixture {
    raw_subscriber(const std::string& url, bool curve)
        : feed(unlimited_feed(raw_context_handle, url, curve)), subscriber(zmq_socket(raw_context_handle, ZMQ_SUB))
    {
        set_int_option(subscriber, ZMQ_RCVTIMEO, 2000);
        set_int_option(subscriber, ZMQ_LINGER, 1000);
        if (curve) {
            set_raw_curve(subscriber, false);
        }
        zmq_connect(subscriber, url.c_str());
        zmq_setsockopt(subscriber, ZMQ_SUBSCRIBE, "quotes$", 7);
        std::stringstream stream;
        settle_subscription(feed, [&] { return receive(stream, ZMQ_DONTWAIT); });
    }
    ~raw_subscriber() override
    {
        zmq_close(subscriber);
        zmq_close(feed);
    }

    // Raw libzmq's version of the subscriber's stream receive: the topic
    // frame read and dropped, the data text appended to the stream.
    bool receive(std::stringstream& stream, int flags = 0)
    {
        do {
            if (zmq_msg_recv(&topic.message, subscriber, flags) == -1) {
                return false;
            }
        } while (!zmq_msg_more(&topic.message));
        if (zmq_msg_recv(&data.message, subscriber, flags) == -1 ||
            !discard_rest(subscriber, zmq_msg_more(&data.message))) {
            return false;
        }
        stream.write(static_cast<const char*>(zmq_msg_data(&data.message)),
                     static_cast<std::streamsize>(text_length(data.message)));
        return true;
    }

    // And of its buffer receive: as much of the data frame as fits copied
    // into the buffer.
    bool receive(void* buffer, size_t buffer_size)
    {
        do {
            if (zmq_msg_recv(&topic.message, subscriber, 0) == -1) {
                return false;
            }
        } while (!zmq_msg_more(&topic.message));
        if (zmq_msg_recv(&data.message, subscriber, 0) == -1 ||
            !discard_rest(subscriber, zmq_msg_more(&data.message))) {
            return false;
        }
        std::memcpy(buffer, zmq_msg_data(&data.message), std::min(zmq_msg_size(&data.message), buffer_size));
        return true;
    }

    reused_message topic;
    reused_message data;
    void* feed;
    void* subscriber;
};

template <typename Subscriber>
void delivered_to_stream(benchmark::State& state, Subscriber& pair, size_t size)
{
    const std::string data = payload(size);
    std::stringstream stream;
    for (auto _ : state) {
        for (int i = 0; i < window; ++i) {
            publish(pair.feed, data);
        }
        for (int i = 0; i < window; ++i) {
            check(pair.subscriber_receive(stream) && static_cast<size_t>(stream.tellp()) == size, "stream delivery");
            stream.seekp(0);
        }
    }
    state.SetItemsProcessed(state.iterations() * window);
}

template <typename Subscriber>
void delivered_to_buffer(benchmark::State& state, Subscriber& pair, size_t size)
{
    const std::string data = payload(size);
    std::unique_ptr<char[]> buffer(new char[reply_capacity]);
    for (auto _ : state) {
        for (int i = 0; i < window; ++i) {
            publish(pair.feed, data);
        }
        for (int i = 0; i < window; ++i) {
            buffer[size] = 'x';
            check(pair.subscriber_receive(buffer.get(), reply_capacity) && buffer[size] == '\0', "buffer delivery");
        }
    }
    state.SetItemsProcessed(state.iterations() * window);
}

struct library_subscriber_view {
    library_subscriber& owner;
    void* feed;
    [[gnu::noinline]] bool subscriber_receive(std::stringstream& stream) { return owner.subscriber.receive(stream); }
    [[gnu::noinline]] bool subscriber_receive(void* buffer, size_t size)
    {
        return owner.subscriber.receive(buffer, size);
    }
};

struct raw_subscriber_view {
    raw_subscriber& owner;
    void* feed;
    [[gnu::noinline]] bool subscriber_receive(std::stringstream& stream) { return owner.receive(stream); }
    [[gnu::noinline]] bool subscriber_receive(void* buffer, size_t size) { return owner.receive(buffer, size); }
};

void library_delivery(benchmark::State& state, bool to_stream, size_t size, const std::string& transport = "ipc",
                      bool curve = false)
{
    const std::string name = "lib-sub-" + transport + (curve ? "-curve" : "");
    auto& subscriber = fixture_for<library_subscriber>(name, exchange_url(transport, name), curve);
    library_subscriber_view view{subscriber, subscriber.feed};
    to_stream ? delivered_to_stream(state, view, size) : delivered_to_buffer(state, view, size);
}

void raw_delivery(benchmark::State& state, bool to_stream, size_t size, const std::string& transport = "ipc",
                  bool curve = false)
{
    const std::string name = "raw-sub-" + transport + (curve ? "-curve" : "");
    auto& subscriber = fixture_for<raw_subscriber>(name, exchange_url(transport, name), curve);
    raw_subscriber_view view{subscriber, subscriber.feed};
    to_stream ? delivered_to_stream(state, view, size) : delivered_to_buffer(state, view, size);
}

// One publish send on a bound socket with one connected subscriber whose
// filter does not match: the cost of building and handing over both frames.
struct publisher_with_listener : fixture {
    publisher_with_listener(void* context, const std::string& url) : listener(zmq_socket(context, ZMQ_SUB))
    {
        set_int_option(listener, ZMQ_LINGER, 0);
        zmq_connect(listener, url.c_str());
        zmq_setsockopt(listener, ZMQ_SUBSCRIBE, "elsewhere$", 10);
    }
    ~publisher_with_listener() override { zmq_close(listener); }
    void* listener;
};

struct library_publisher : publisher_with_listener {
    explicit library_publisher(const std::string& url)
        : publisher_with_listener(library_context().context, url), publisher(library_context(), url)
    {
        publisher.init_if_necessary();
    }
    vorzmq_pub_socket publisher;
};

struct raw_publisher : publisher_with_listener {
    explicit raw_publisher(const std::string& url)
        : publisher_with_listener(raw_context_handle, url), publisher(raw_socket(raw_context_handle, ZMQ_PUB, url, true))
    {
    }
    ~raw_publisher() override { zmq_close(publisher); }
    void* publisher;
};

const std::string publish_topic = "quotes";

// The per-message steps stay out of line (here and in the round trips), so
// that a profile can name them: valgrind --tool=callgrind --toggle-collect=...
[[gnu::noinline]] void library_publish_once(vorzmq_pub_socket& publisher, const std::string& topic,
                                            const std::string& data)
{
    publisher.send(topic, data);
}

[[gnu::noinline]] void raw_publish_once(void* publisher, const std::string& topic, const std::string& data)
{
    // The topic frame as the library builds it: the topic and a "$".
    char frame[64];
    std::memcpy(frame, topic.data(), topic.size());
    size_t frame_size = topic.size();
    if (topic.empty() || topic.back() != '$') {
        frame[frame_size++] = '$';
    }
    check(zmq_send(publisher, frame, frame_size, ZMQ_SNDMORE | ZMQ_DONTWAIT) != -1, "raw topic published");
    check(zmq_send(publisher, data.c_str(), data.size() + 1, ZMQ_DONTWAIT) != -1, "raw data published");
}

void library_publish_send(benchmark::State& state, size_t size)
{
    auto& pair = fixture_for<library_publisher>("lib/pub", ipc_url("lib-pub"));
    const std::string data = payload(size);
    for (auto _ : state) {
        library_publish_once(pair.publisher, publish_topic, data);
    }
}

void raw_publish_send(benchmark::State& state, size_t size)
{
    auto& pair = fixture_for<raw_publisher>("raw/pub", ipc_url("raw-pub"));
    const std::string data = payload(size);
    for (auto _ : state) {
        raw_publish_once(pair.publisher, publish_topic, data);
    }
}

// ---------------------------------------------------------------- JSON

const std::string json_topic = "quotes";
const std::string json_data =
    R"({"symbol":"VOR","price":101.25,"volume":1200,"tags":["open","live"],)"
    R"("book":{"bid":[101.2,100],"ask":[101.3,50]}})";

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// JsonCpp called directly for the envelope that build_json writes.
bool raw_build_json(const std::string& topic, const std::string& data, std::stringstream& out)
{
    Json::Value parsed;
    Json::Reader reader;
    if (!reader.parse(data, parsed, true)) {
        return false;
    }
    Json::Value envelope;
    envelope["topic"] = topic;
    envelope["data"] = std::move(parsed);
    out << envelope;
    return true;
}

// JsonCpp called directly for the text that rebrdcst sends.
std::string raw_rebroadcast_text(const std::string& topic, const std::string& data)
{
    Json::Value request;
    request["topic"] = topic.empty() ? topic : topic + '$';
    Json::Value parsed;
    Json::Reader reader;
    if (!reader.parse(data, parsed, true)) {
        return {};
    }
    request["data"] = std::move(parsed);
    Json::FastWriter writer;
    return writer.write(request);
}

#pragma GCC diagnostic pop

void library_build_json(benchmark::State& state)
{
    std::stringstream out;
    for (auto _ : state) {
        check(build_json(json_topic, json_data, out), "library envelope");
        out.seekp(0);
    }
}

void raw_json_envelope(benchmark::State& state)
{
    std::stringstream out;
    for (auto _ : state) {
        check(raw_build_json(json_topic, json_data, out), "raw envelope");
        out.seekp(0);
    }
}

// An acknowledging service in raw libzmq, the same for both sides.
struct acknowledging_service {
    acknowledging_service(void* context, const std::string& url, size_t request_size)
        : expected_size(request_size),
          server([this, context, url](std::promise<void>& ready) {
              void* reply = raw_socket(context, ZMQ_REP, url, true);
              ready.set_value();
              std::stringstream stream;
              reused_message request;
              while (!stopping.load(std::memory_order_relaxed)) {
                  if (raw_receive_into_stream(reply, request.message, stream, true)) {
                      check(static_cast<size_t>(stream.tellp()) == expected_size, "service received request");
                      stream.seekp(0);
                  }
              }
              zmq_close(reply);
          })
    {
    }
    size_t expected_size;
    server_thread server;
};

struct library_rebroadcaster : fixture {
    explicit library_rebroadcaster(const std::string& url)
        : service(library_context().context, url, raw_rebroadcast_text(json_topic, json_data).size()),
          rebroadcaster(library_context(), url)
    {
        rebroadcaster.rebrdcst(json_topic, json_data);
    }
    acknowledging_service service;
    vorzmq_rebrdcst_socket rebroadcaster;
};

struct raw_rebroadcaster : fixture {
    explicit raw_rebroadcaster(const std::string& url)
        : service(raw_context_handle, url, raw_rebroadcast_text(json_topic, json_data).size()),
          request(raw_socket(raw_context_handle, ZMQ_REQ, url, false))
    {
        raw_acknowledged_send(request, reply.message, raw_rebroadcast_text(json_topic, json_data));
    }
    ~raw_rebroadcaster() override { zmq_close(request); }
    acknowledging_service service;
    void* request;
    reused_message reply;
};

void library_rebroadcast(benchmark::State& state)
{
    auto& pair = fixture_for<library_rebroadcaster>("lib/rebrdcst", ipc_url("lib-rebrdcst"));
    for (auto _ : state) {
        pair.rebroadcaster.rebrdcst(json_topic, json_data);
    }
}

void raw_rebroadcast(benchmark::State& state)
{
    auto& pair = fixture_for<raw_rebroadcaster>("raw/rebrdcst", ipc_url("raw-rebrdcst"));
    for (auto _ : state) {
        raw_acknowledged_send(pair.request, pair.reply.message, raw_rebroadcast_text(json_topic, json_data));
    }
}

// ---------------------------------------------------------------- registration

void register_pair(const std::string& name, std::function<void(benchmark::State&)> library,
                   std::function<void(benchmark::State&)> raw)
{
    benchmark::RegisterBenchmark((name + "/lib").c_str(), library)->UseRealTime();
    benchmark::RegisterBenchmark((name + "/raw").c_str(), raw)->UseRealTime();
}

std::string size_name(size_t size)
{
    if (size >= (1u << 20)) {
        return std::to_string(size >> 20) + "MiB";
    }
    if (size >= 1024) {
        return std::to_string(size >> 10) + "KiB";
    }
    return std::to_string(size) + "B";
}

void register_all()
{
    for (const bool acknowledged : {true, false}) {
        for (const char* transport : {"ipc", "tcp"}) {
            for (const size_t size : exchange_sizes) {
                const std::string name = std::string(acknowledged ? "ack_round_trip/" : "noack_round_trip/") +
                                         transport + "/" + size_name(size);
                const std::string via = transport;
                register_pair(
                    name, [=](benchmark::State& state) { library_round_trip(state, via, acknowledged, size); },
                    [=](benchmark::State& state) { raw_round_trip(state, via, acknowledged, size); });
            }
        }
    }
    for (const bool to_stream : {true, false}) {
        for (const size_t size : {size_t{16}, size_t{1024}}) {
            const std::string name =
                std::string(to_stream ? "pubsub_stream/ipc/" : "pubsub_buffer/ipc/") + size_name(size);
            register_pair(
                name, [=](benchmark::State& state) { library_delivery(state, to_stream, size); },
                [=](benchmark::State& state) { raw_delivery(state, to_stream, size); });
        }
    }
    for (const size_t size : {size_t{16}, size_t{1024}}) {
        register_pair(
            "publish_send/ipc/" + size_name(size), [=](benchmark::State& state) { library_publish_send(state, size); },
            [=](benchmark::State& state) { raw_publish_send(state, size); });
    }
    // CURVE, with the same keys on both sides; and the plain tcp stream, so
    // that CURVE can be set against clear text.
    for (const char* transport : {"ipc", "tcp"}) {
        for (const size_t size : {size_t{16}, size_t{1024}}) {
            const std::string via = transport;
            const std::string suffix = via + "/" + size_name(size);
            register_pair(
                "curve_ack_round_trip/" + suffix,
                [=](benchmark::State& state) { library_round_trip(state, via, true, size, true); },
                [=](benchmark::State& state) { raw_round_trip(state, via, true, size, true); });
            register_pair(
                "curve_pubsub_stream/" + suffix,
                [=](benchmark::State& state) { library_delivery(state, true, size, via, true); },
                [=](benchmark::State& state) { raw_delivery(state, true, size, via, true); });
            if (via == "tcp") {
                register_pair(
                    "pubsub_stream/" + suffix, [=](benchmark::State& state) { library_delivery(state, true, size, via); },
                    [=](benchmark::State& state) { raw_delivery(state, true, size, via); });
            }
        }
    }
    register_pair("build_json", library_build_json, raw_json_envelope);
    register_pair("rebrdcst/ipc", library_rebroadcast, raw_rebroadcast);
}

// The library's output must match JsonCpp's, or the comparison is unfair.
void check_json_equivalence()
{
    std::stringstream library_text;
    std::stringstream raw_text;
    check(build_json(json_topic, json_data, library_text) && raw_build_json(json_topic, json_data, raw_text) &&
              library_text.str() == raw_text.str(),
          "build_json writes what JsonCpp writes");
}

}  // namespace

int main(int argc, char** argv)
{
    configure_logger("vorzmq-bench");
    library_context_holder = std::make_unique<vorzmq_context>();
    raw_context_handle = zmq_ctx_new();
    check_json_equivalence();
    return run_benchmarks(argc, argv, register_all, [] {
        fixtures.clear();
        library_context_holder.reset();
        zmq_ctx_destroy(raw_context_handle);
    });
}

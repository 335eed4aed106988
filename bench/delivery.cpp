// SPDX-License-Identifier: MIT
// What a subscriber that keeps up receives of bursts and paced streams:
// through the library's publish socket at its default mark of 16 and with the
// mark raised to twice the burst, and through raw libzmq PUB sockets at 16
// and at libzmq's default of 1000. Prints a Markdown table of the fraction
// delivered (median of the rounds, and the lowest in brackets).
//
// Not pinned: a burst is lost or delivered depending on whether libzmq's I/O
// thread drains the queue while the publisher is still sending, which needs a
// second CPU, as a real host has.
//   build-bench/bench/vorzmq_delivery [rounds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <log4cxx/logger.h>
#include <zmq.h>

#include "bench_common.h"
#include "vorzmq.h"

log4cxx::LoggerPtr logger;

namespace {

using namespace vorzmq_bench;
using clock_type = std::chrono::steady_clock;

struct scenario {
    const char* name;
    int messages;
    int per_second;  // 0: as fast as possible
};

const scenario scenarios[] = {
    {"burst of 100", 100, 0},
    {"burst of 1,000", 1000, 0},
    {"burst of 10,000", 10000, 0},
    {"2,000 paced at 10 k msg/s", 2000, 10000},
    {"10,000 paced at 50 k msg/s", 10000, 50000},
};

// A raw SUB on its own thread that reads everything as fast as it comes and
// counts the data messages of the current round; an end marker carrying the
// round's number closes the round.
class counting_subscriber {
public:
    counting_subscriber(void* context, const std::string& url) : socket(zmq_socket(context, ZMQ_SUB))
    {
        set_int_option(socket, ZMQ_RCVTIMEO, 50);
        set_int_option(socket, ZMQ_LINGER, 0);
        zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "d$", 2);
        zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "end$", 4);
        zmq_connect(socket, url.c_str());
        reader = std::thread([this] { read(); });
    }
    ~counting_subscriber()
    {
        stop = true;
        reader.join();
        zmq_close(socket);
    }

    std::atomic<int> finished_round{-1};
    std::atomic<int> counted{0};

private:
    void read()
    {
        zmq_msg_t topic;
        zmq_msg_t data;
        zmq_msg_init(&topic);
        zmq_msg_init(&data);
        int count = 0;
        while (!stop) {
            if (zmq_msg_recv(&topic, socket, 0) == -1 || zmq_msg_recv(&data, socket, 0) == -1) {
                continue;
            }
            if (zmq_msg_size(&topic) == 2) {
                ++count;
                continue;
            }
            const int round = std::atoi(static_cast<const char*>(zmq_msg_data(&data)));
            if (round > finished_round) {
                counted = count;
                count = 0;
                finished_round = round;
            }
        }
        zmq_msg_close(&topic);
        zmq_msg_close(&data);
    }

    void* socket;
    std::atomic<bool> stop{false};
    std::thread reader;
};

// One publisher under test: sends a message as the library's publish socket
// frames it.
class publisher {
public:
    virtual ~publisher() = default;
    virtual void send(const std::string& topic, const std::string& data) = 0;
};

class library_publisher : public publisher {
public:
    library_publisher(vorzmq_context& context, const std::string& url, int mark) : socket(context, url)
    {
        if (mark >= 0) {
            socket.set_high_water_mark(mark);
        }
        socket.init_if_necessary();
    }
    void send(const std::string& topic, const std::string& data) override { socket.send(topic, data); }

private:
    vorzmq_pub_socket socket;
};

class raw_publisher : public publisher {
public:
    raw_publisher(void* context, const std::string& url, int mark) : socket(zmq_socket(context, ZMQ_PUB))
    {
        set_int_option(socket, ZMQ_SNDHWM, mark);
        set_int_option(socket, ZMQ_LINGER, 0);
        zmq_bind(socket, url.c_str());
    }
    ~raw_publisher() override { zmq_close(socket); }
    void send(const std::string& topic, const std::string& data) override
    {
        const std::string frame = topic + "$";
        zmq_send(socket, frame.data(), frame.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT);
        zmq_send(socket, data.c_str(), data.size() + 1, ZMQ_DONTWAIT);
    }

private:
    void* socket;
};

// Publishes end markers until the subscriber has closed `round`; false when
// it never does.
bool close_round(publisher& pub, counting_subscriber& sub, int round)
{
    const auto deadline = clock_type::now() + std::chrono::seconds(10);
    while (sub.finished_round < round) {
        if (clock_type::now() > deadline) {
            return false;
        }
        pub.send("end", std::to_string(round));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Fractions delivered in each round.
std::vector<double> run(publisher& pub, counting_subscriber& sub, const scenario& plan, int rounds)
{
    std::vector<double> fractions;
    if (!close_round(pub, sub, 0)) {
        std::fprintf(stderr, "subscriber never joined\n");
        std::exit(1);
    }
    const std::string data = payload(16);
    for (int round = 1; round <= rounds; ++round) {
        // A quiet start: every earlier message has been read.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto start = clock_type::now();
        for (int i = 0; i < plan.messages; ++i) {
            if (plan.per_second != 0) {
                const auto due = start + std::chrono::nanoseconds(1000000000LL * i / plan.per_second);
                while (clock_type::now() < due) {
                }
            }
            pub.send("d", data);
        }
        if (!close_round(pub, sub, round)) {
            std::fprintf(stderr, "round %d never closed\n", round);
            std::exit(1);
        }
        fractions.push_back(static_cast<double>(sub.counted) / plan.messages);
    }
    return fractions;
}

std::string summary(std::vector<double> fractions)
{
    std::sort(fractions.begin(), fractions.end());
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %% (%.1f)", 100 * fractions[fractions.size() / 2], 100 * fractions.front());
    return text;
}

// What one ZMQ_EVENTS query costs on a publish socket with nothing pending:
// the price of taking in credits at every send.
double events_query_ns(void* context)
{
    const std::string url = ipc_url("events");
    raw_publisher pub(context, url, 16);
    counting_subscriber sub(context, url);
    close_round(pub, sub, 0);
    void* socket = zmq_socket(context, ZMQ_PUB);
    zmq_bind(socket, ipc_url("events-probe").c_str());
    constexpr int calls = 200000;
    int events = 0;
    size_t size = sizeof events;
    const auto start = clock_type::now();
    for (int i = 0; i < calls; ++i) {
        zmq_getsockopt(socket, ZMQ_EVENTS, &events, &size);
    }
    const double ns = std::chrono::duration<double, std::nano>(clock_type::now() - start).count() / calls;
    set_int_option(socket, ZMQ_LINGER, 0);
    zmq_close(socket);
    return ns;
}

}  // namespace

int main(int argc, char** argv)
{
    logger = log4cxx::Logger::getLogger("vorzmq-delivery");
    // Drops at the default mark are logged as WARN, one per overflow.
    logger->setLevel(log4cxx::Level::getError());
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    vorzmq_context library_context;
    void* raw_context = zmq_ctx_new();
    void* subscriber_context = zmq_ctx_new();

    std::printf("| scenario | library, mark 16 | library, mark twice the burst | raw libzmq, mark 16 | raw libzmq, mark 1000 |\n");
    std::printf("|---|---:|---:|---:|---:|\n");
    int endpoint = 0;
    for (const scenario& plan : scenarios) {
        std::string cells;
        for (int implementation = 0; implementation < 4; ++implementation) {
            const std::string url = ipc_url("delivery-" + std::to_string(endpoint++));
            std::unique_ptr<counting_subscriber> sub(new counting_subscriber(subscriber_context, url));
            std::unique_ptr<publisher> pub;
            switch (implementation) {
            case 0: pub.reset(new library_publisher(library_context, url, -1)); break;
            case 1: pub.reset(new library_publisher(library_context, url, 2 * plan.messages)); break;
            case 2: pub.reset(new raw_publisher(raw_context, url, 16)); break;
            default: pub.reset(new raw_publisher(raw_context, url, 1000)); break;
            }
            cells += " | " + summary(run(*pub, *sub, plan, rounds));
            pub.reset();
            sub.reset();
        }
        std::printf("| %s%s |\n", plan.name, cells.c_str());
        std::fflush(stdout);
    }
    std::printf("\nZMQ_EVENTS on an idle publish socket: %.0f ns a call\n", events_query_ns(raw_context));

    zmq_ctx_destroy(subscriber_context);
    zmq_ctx_destroy(raw_context);
    return 0;
}

// SPDX-License-Identifier: MIT
// The re-broadcast request with any topic and any data text, against a raw
// REP peer on its own thread: rebrdcst never throws, sends nothing for data
// that is not JSON, and otherwise sends one compact line that parses back
// to the data and the topic with its "$" (where their strings are
// well-formed UTF-8).
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <json/value.h>

#include "harness.h"
#include "vorzmq.h"

using namespace vorzmq_fuzz;

namespace {

struct peer {
    explicit peer(const std::string& url) : context(zmq_ctx_new()), socket(zmq_socket(context, ZMQ_REP))
    {
        if (zmq_bind(socket, url.c_str()) != 0) {
            fail("peer bind");
        }
        thread = std::thread([this] { run(); });
    }
    void run()
    {
        for (;;) {
            zmq_msg_t message;
            zmq_msg_init(&message);
            if (zmq_msg_recv(&message, socket, 0) < 0) {
                fail("peer receive");
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                last.assign(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
                ++received;
            }
            zmq_msg_close(&message);
            zmq_send(socket, "ok", 3, 0);
        }
    }
    void* context;
    void* socket;
    std::mutex mutex;
    std::string last;
    long received = 0;
    std::thread thread;
};

struct setup {
    setup() : url(private_ipc_url("rebroadcast")), service(url), rebroadcast(context, url) {}
    std::string url;
    peer service;
    vorzmq_context context;
    vorzmq_rebrdcst_socket rebroadcast;
};

setup* world;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_logger();
    world = new setup;  // lives as long as the process, as the peer's thread does
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    input_reader in(data, size);
    const std::string topic = in.text(in.byte() % 64);
    const std::string json = in.rest();

    long before;
    {
        std::lock_guard<std::mutex> lock(world->service.mutex);
        before = world->service.received;
    }
    try {
        world->rebroadcast.rebrdcst(topic, json);
    } catch (...) {
        fail("rebrdcst threw");
    }
    // rebrdcst returns after the peer's answer, or after its own wait ran
    // out on a loaded machine; a request sent is then at the peer soon.
    std::string sent;
    long after = before;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    Json::Value expected;
    const bool valid = parse_json(json, expected);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(world->service.mutex);
            after = world->service.received;
            sent = world->service.last;
        }
        if (!valid || after != before || std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!valid) {
        if (after != before) {
            fail("sent a request for data that is not JSON");
        }
        return 0;
    }
    if (after != before + 1) {
        fail("valid data but no request arrived");
    }
    Json::Value back;
    if (sent.empty() || sent.back() != '\n' || sent.find('\n') != sent.size() - 1) {
        fail("request is not one line: " + sent);
    }
    if (!parse_json(sent, back) || !back.isObject() || back.size() != 2 ||
        (text_survives_json(expected) && !(back["data"] == expected))) {
        fail("request does not carry the data: " + sent);
    }
    const std::string wanted_topic = topic.empty() ? topic : topic + "$";
    if (well_formed_utf8(topic) && back["topic"].asString() != wanted_topic) {
        fail("request does not carry the topic: " + sent);
    }
    return 0;
}

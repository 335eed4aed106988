// SPDX-License-Identifier: MIT
// The subscribe socket's receives fed arbitrary messages by a raw PUB peer
// over a real ipc socket: any frame counts (one frame alone, no data frame,
// extra frames), sizes and zero bytes. Each message of two frames or more
// delivers its second frame (and, through the topic form, its first frame
// less one final "$"), a one-frame message is skipped, and a well-formed
// message published right after arrives intact.
#include <cstring>
#include <sstream>

#include "harness.h"
#include "raw_peer.h"
#include "vorzmq.h"

using namespace vorzmq_fuzz;

namespace {

constexpr size_t buffer_size = 32;

struct setup {
    setup() : url(private_ipc_url("subscribe")), publisher(ZMQ_PUB), subscriber(context, url)
    {
        publisher.bind(url);
        // Long enough for a loaded machine; a lost message fails the input.
        subscriber.set_receive_timeout_ms(2000);
        subscriber.add_topic("");
        // Publish until the subscription has reached the publisher, then
        // read up to a marker whatever the wait left queued.
        for (;;) {
            publisher.send({"sync$", std::string("sync", 5)});
            std::stringstream stream;
            if (subscriber.receive(stream)) {
                break;
            }
        }
        publisher.send({"sync$", std::string("ready", 6)});
        for (std::stringstream stream; stream.str() != "ready";) {
            stream.str("");
            if (!subscriber.receive(stream)) {
                fail("the subscriber lost the publisher");
            }
        }
    }
    std::string url;
    raw_peer publisher;
    vorzmq_context context;
    vorzmq_sub_socket subscriber;
    long sentinels = 0;
};

setup* world;

// How a message is received: into a buffer, as text, or as text with its topic.
enum class receive_form { buffer, text, text_and_topic };

std::string topic_of(const std::string& frame)
{
    return !frame.empty() && frame.back() == '$' ? frame.substr(0, frame.size() - 1) : frame;
}

void expect_data(const std::string& topic_frame, const std::string& frame, receive_form form)
{
    const bool into_buffer = form == receive_form::buffer;
    if (into_buffer) {
        char buffer[buffer_size];
        std::memset(buffer, 0xa5, sizeof buffer);
        if (!world->subscriber.receive(buffer, sizeof buffer)) {
            fail("a message was lost (buffer receive)");
        }
        const size_t kept = frame.size() < sizeof buffer ? frame.size() : sizeof buffer;
        if (std::memcmp(buffer, frame.data(), kept) != 0) {
            fail("data frame changed (buffer receive)");
        }
        for (size_t i = kept; i < sizeof buffer; ++i) {
            if (buffer[i] != static_cast<char>(0xa5)) {
                fail("wrote past the data frame");
            }
        }
        return;
    }
    std::stringstream stream;
    std::string topic = "(untouched)";
    const bool received =
        form == receive_form::text ? world->subscriber.receive(stream) : world->subscriber.receive(stream, topic);
    if (!received) {
        fail("a message was lost");
    }
    if (form == receive_form::text_and_topic && topic != topic_of(topic_frame)) {
        fail("topic changed: got '" + topic + "'");
    }
    if (stream.str() != text_before_zero(frame)) {
        fail("data text changed: got '" + stream.str() + "'");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_logger();
    world = new setup;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    input_reader in(data, size);
    const uint8_t choice = in.byte();
    const receive_form form =
        (choice & 1) ? receive_form::buffer : (choice & 2) ? receive_form::text_and_topic : receive_form::text;
    std::vector<std::pair<std::string, std::string>> wanted;
    const int messages = in.byte() % 7;
    for (int m = 0; m < messages && !in.empty(); ++m) {
        std::vector<std::string> frames;
        const int count = 1 + in.byte() % 5;
        for (int f = 0; f < count; ++f) {
            frames.push_back(in.frame());
        }
        if (frames.size() >= 2) {
            wanted.emplace_back(frames[0], frames[1]);
        }
        world->publisher.send(frames);
    }
    const std::string sentinel = "sentinel-" + std::to_string(world->sentinels++);
    world->publisher.send({"s$", std::string(sentinel.c_str(), sentinel.size() + 1)});
    for (const auto& [topic, frame] : wanted) {
        expect_data(topic, frame, form);
    }
    expect_data("s$", std::string(sentinel.c_str(), sentinel.size() + 1), form);
    return 0;
}

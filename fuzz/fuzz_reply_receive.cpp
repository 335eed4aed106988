// SPDX-License-Identifier: MIT
// The reply socket's receive fed arbitrary requests by a raw DEALER peer
// over a real ipc socket: any number of frames, any sizes, zero bytes.
// Every request is taken (its first frame's text up to a zero byte), each
// is acknowledged with the OK reply, and a well-formed request sent right
// after arrives intact.
#include <sstream>

#include "harness.h"
#include "raw_peer.h"
#include "vorzmq.h"

using namespace vorzmq_fuzz;

namespace {

struct setup {
    setup() : url(private_ipc_url("reply")), client(ZMQ_DEALER), reply(context, url)
    {
        // A lost request shows as a false receive; no need to wait a second.
        reply.set_receive_timeout_ms(500);
        client.connect(url);
    }
    std::string url;
    raw_peer client;
    vorzmq_context context;
    vorzmq_reply_socket reply;
    long sentinels = 0;
};

setup* world;

void expect_request(const std::string& wanted)
{
    std::stringstream stream;
    if (!world->reply.receive(stream, true)) {
        fail("a request was lost");
    }
    if (stream.str() != wanted) {
        fail("request text changed: got '" + stream.str() + "', wanted '" + wanted + "'");
    }
    const auto answer = world->client.receive(5000);
    if (answer != std::vector<std::string>{"", std::string("ok\0", 3)}) {
        fail("the OK reply did not come back whole");
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
    std::vector<std::string> wanted;
    const int messages = in.byte() % 7;
    for (int m = 0; m < messages && !in.empty(); ++m) {
        // The empty delimiter that a REQ peer puts first, then the body.
        std::vector<std::string> frames{""};
        const int body_frames = 1 + in.byte() % 5;
        for (int f = 0; f < body_frames; ++f) {
            frames.push_back(in.frame());
        }
        wanted.push_back(text_before_zero(frames[1]));
        world->client.send(frames);
    }
    const std::string sentinel = "sentinel-" + std::to_string(world->sentinels++);
    world->client.send({"", sentinel});
    for (const auto& text : wanted) {
        expect_request(text);
    }
    expect_request(sentinel);
    return 0;
}

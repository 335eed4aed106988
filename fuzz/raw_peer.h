// SPDX-License-Identifier: MIT
// A raw libzmq socket on its own context, for the harnesses that feed the
// library arbitrary messages over a real socket.
#ifndef VORZMQ_FUZZ_RAW_PEER_H
#define VORZMQ_FUZZ_RAW_PEER_H

#include <zmq.h>

#include <string>
#include <vector>

#include "harness.h"

namespace vorzmq_fuzz {

class raw_peer {
public:
    explicit raw_peer(int type) : context(zmq_ctx_new()), socket(zmq_socket(context, type)) {}

    void bind(const std::string& url)
    {
        if (zmq_bind(socket, url.c_str()) != 0) {
            fail("raw bind " + url);
        }
    }
    void connect(const std::string& url)
    {
        if (zmq_connect(socket, url.c_str()) != 0) {
            fail("raw connect " + url);
        }
    }
    void send(const std::vector<std::string>& frames)
    {
        for (size_t i = 0; i < frames.size(); ++i) {
            const int flags = i + 1 < frames.size() ? ZMQ_SNDMORE : 0;
            if (zmq_send(socket, frames[i].data(), frames[i].size(), flags) < 0) {
                fail("raw send");
            }
        }
    }
    // One whole message, or none within `timeout_ms`.
    std::vector<std::string> receive(int timeout_ms)
    {
        std::vector<std::string> frames;
        zmq_pollitem_t item{socket, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, timeout_ms) <= 0) {
            return frames;
        }
        int more = 1;
        while (more) {
            zmq_msg_t message;
            zmq_msg_init(&message);
            if (zmq_msg_recv(&message, socket, 0) < 0) {
                fail("raw receive");
            }
            frames.emplace_back(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
            more = zmq_msg_more(&message);
            zmq_msg_close(&message);
        }
        return frames;
    }

private:
    void* context;
    void* socket;
};

}  // namespace vorzmq_fuzz

#endif

// SPDX-License-Identifier: MIT
// Raw libzmq peers that run on their own threads, for the robustness suites:
// a reply server that answers every request, and a publisher that keeps
// publishing until it is stopped.
#ifndef VORZMQ_TESTS_ROBUSTNESS_PEERS_H
#define VORZMQ_TESTS_ROBUSTNESS_PEERS_H

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fixture.h"

namespace vorzmq_test {

// The three bytes of the OK reply.
inline std::string ok_reply() { return std::string("ok\0", 3); }

// A raw REP socket bound at `url`; answers every request with `reply`.
class answering_server {
public:
    explicit answering_server(const std::string& url, std::vector<std::string> reply = {ok_reply()});
    ~answering_server();
    answering_server(const answering_server&) = delete;
    answering_server& operator=(const answering_server&) = delete;

    // Whether a request whose first frame is `text` has arrived.
    bool has_seen(const std::string& text) const;
    std::vector<std::string> requests() const;

private:
    void run();

    raw_socket socket;
    std::vector<std::string> reply;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::vector<std::string> seen;
    std::thread thread;
};

// A raw PUB socket bound at `url` that sends the given messages round and
// round, one every `interval_ms`, numbering each data frame's text with a
// running count ("story-17") so that receivers can tell messages apart.
class looping_publisher {
public:
    struct message {
        std::string topic_frame;
        std::string data_prefix;
    };
    looping_publisher(const std::string& url, std::vector<message> messages, int interval_ms = 2);
    ~looping_publisher();
    looping_publisher(const looping_publisher&) = delete;
    looping_publisher& operator=(const looping_publisher&) = delete;

    long sent() const { return count; }

private:
    void run();

    raw_socket socket;
    std::vector<message> messages;
    int interval_ms;
    std::atomic<bool> stopping{false};
    std::atomic<long> count{0};
    std::thread thread;
};

// Open file descriptors and resident memory of this process.
size_t open_descriptors();
size_t resident_kib();
// A kB field of /proc/self/status, such as "VmHWM" (the peak); 0 if absent.
size_t status_kib(const std::string& field);

}  // namespace vorzmq_test

#endif

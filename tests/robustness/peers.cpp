// SPDX-License-Identifier: MIT
#include "peers.h"

#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace vorzmq_test {

answering_server::answering_server(const std::string& url, std::vector<std::string> reply_frames)
    : socket(ZMQ_REP), reply(std::move(reply_frames))
{
    socket.bind(url);
    thread = std::thread([this] { run(); });
}

answering_server::~answering_server()
{
    stopping = true;
    thread.join();
}

void answering_server::run()
{
    while (!stopping) {
        // Short slices, so that the destructor never waits long.
        auto request = socket.receive_frames(20);
        if (!request) {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(request->empty() ? std::string() : request->front());
        }
        socket.send_frames(reply);
    }
}

bool answering_server::has_seen(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(seen.begin(), seen.end(), text) != seen.end();
}

std::vector<std::string> answering_server::requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
}

looping_publisher::looping_publisher(const std::string& url, std::vector<message> list, int interval)
    : socket(ZMQ_PUB), messages(std::move(list)), interval_ms(interval)
{
    socket.bind(url);
    thread = std::thread([this] { run(); });
}

looping_publisher::~looping_publisher()
{
    stopping = true;
    thread.join();
}

void looping_publisher::run()
{
    for (size_t next = 0; !stopping; ++next) {
        const message& chosen = messages[next % messages.size()];
        const std::string data = chosen.data_prefix + std::to_string(count++);
        socket.send_frames({chosen.topic_frame, std::string(data.c_str(), data.size() + 1)});
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
    }
}

size_t open_descriptors()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

size_t status_kib(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoul(line.substr(field.size() + 1));
        }
    }
    return 0;
}

size_t resident_kib()
{
    return status_kib("VmRSS");
}

}  // namespace vorzmq_test

// SPDX-License-Identifier: MIT
#include "fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>

#include <log4cxx/logger.h>
#include <zmq.h>

#include "vorzmq.h"

namespace vorzmq_test {

temp_home::temp_home()
{
    // ipc:// paths must stay short (sun_path holds 107 bytes).
    char pattern[] = "/tmp/vzq-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir = pattern;
    std::filesystem::create_directory(dir + "/queues");
    const char* old = getenv("VOR_HOME");
    had_previous = old != nullptr;
    previous = old ? old : "";
    setenv("VOR_HOME", dir.c_str(), 1);
}

temp_home::~temp_home()
{
    if (had_previous) {
        setenv("VOR_HOME", previous.c_str(), 1);
    } else {
        unsetenv("VOR_HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string temp_home::queue_url(const std::string& name) const
{
    return "ipc://" + dir + "/queues/" + name;
}

std::string unique_name(const std::string& prefix)
{
    static std::atomic<int> counter{0};
    return prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

std::string free_tcp_url()
{
    // Ports below the kernel's ephemeral range (32768 and up): connecting
    // sockets of parallel tests take their local ports from that range, and
    // a port that the kernel hands out for port 0 is soon handed out again.
    static std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<int> port(20000, 32000);
    for (;;) {
        const std::string url = "tcp://127.0.0.1:" + std::to_string(port(pick));
        raw_socket probe(ZMQ_REP);
        if (zmq_bind(probe.handle(), url.c_str()) == 0) {
            return url;  // the probe unbinds as it closes, leaving the port free
        }
    }
}

raw_socket::raw_socket(int type) : context(zmq_ctx_new()), socket(zmq_socket(context, type))
{
    set_int(ZMQ_LINGER, 0);
}

raw_socket::~raw_socket()
{
    zmq_close(socket);
    zmq_ctx_term(context);
}

void raw_socket::bind(const std::string& url)
{
    if (zmq_bind(socket, url.c_str()) != 0) {
        throw std::runtime_error("raw bind to " + url + ": " + zmq_strerror(zmq_errno()));
    }
}

void raw_socket::connect(const std::string& url)
{
    if (zmq_connect(socket, url.c_str()) != 0) {
        throw std::runtime_error("raw connect to " + url + ": " + zmq_strerror(zmq_errno()));
    }
}

void raw_socket::set_int(int option, int value)
{
    zmq_setsockopt(socket, option, &value, sizeof value);
}

void raw_socket::subscribe(const std::string& filter)
{
    zmq_setsockopt(socket, ZMQ_SUBSCRIBE, filter.data(), filter.size());
}

void raw_socket::send_frames(const std::vector<std::string>& frames)
{
    for (size_t i = 0; i < frames.size(); ++i) {
        const int flags = i + 1 < frames.size() ? ZMQ_SNDMORE : 0;
        if (zmq_send(socket, frames[i].data(), frames[i].size(), flags) < 0) {
            throw std::runtime_error(std::string("raw send: ") + zmq_strerror(zmq_errno()));
        }
    }
}

std::optional<std::vector<std::string>> raw_socket::receive_frames(int timeout_ms)
{
    zmq_pollitem_t item{socket, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, timeout_ms) <= 0) {
        return std::nullopt;
    }
    std::vector<std::string> frames;
    int more = 1;
    while (more) {
        zmq_msg_t message;
        zmq_msg_init(&message);
        if (zmq_msg_recv(&message, socket, 0) < 0) {
            zmq_msg_close(&message);
            return std::nullopt;
        }
        frames.emplace_back(static_cast<const char*>(zmq_msg_data(&message)), zmq_msg_size(&message));
        more = zmq_msg_more(&message);
        zmq_msg_close(&message);
    }
    return frames;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void library_test::SetUp()
{
    captured_log().clear();
    logger->setLevel(log4cxx::Level::getAll());
    home.emplace();
}

void library_test::TearDown()
{
    home.reset();
}

}  // namespace vorzmq_test

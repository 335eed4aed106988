// SPDX-License-Identifier: MIT
// Shared test scaffolding: a temporary VOR_HOME per test, unique endpoints,
// raw libzmq peers for byte-exact checks, and waiting on conditions instead
// of sleeping.
#ifndef VORZMQ_TESTS_FIXTURE_H
#define VORZMQ_TESTS_FIXTURE_H

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "zmq_faults.h"

namespace vorzmq_test {

// A fresh directory with a queues/ folder, exported as VOR_HOME while alive.
class temp_home {
public:
    temp_home();
    ~temp_home();
    temp_home(const temp_home&) = delete;
    temp_home& operator=(const temp_home&) = delete;

    const std::string& path() const { return dir; }
    // ipc://<home>/queues/<name>, the endpoint of a queue name.
    std::string queue_url(const std::string& name) const;

private:
    std::string dir;
    std::string previous;
    bool had_previous;
};

// A name no other test of any process uses.
std::string unique_name(const std::string& prefix);
// A tcp://127.0.0.1:<port> endpoint whose port was free a moment ago.
std::string free_tcp_url();

// A raw libzmq socket on its own context, for peers whose bytes matter.
class raw_socket {
public:
    explicit raw_socket(int type);
    ~raw_socket();
    raw_socket(const raw_socket&) = delete;
    raw_socket& operator=(const raw_socket&) = delete;

    void* handle() const { return socket; }
    void bind(const std::string& url);
    void connect(const std::string& url);
    void set_int(int option, int value);
    void subscribe(const std::string& filter);
    // Sends one message made of the given frames.
    void send_frames(const std::vector<std::string>& frames);
    // Receives one whole message; nothing within the timeout gives nullopt.
    std::optional<std::vector<std::string>> receive_frames(int timeout_ms = 5000);

private:
    void* context;
    void* socket;
};

// Polls `condition` until it holds or `timeout` passes.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Names a parameterised test after its case's `name`.
inline const auto case_name = [](const auto& param_info) { return std::string(param_info.param.name); };

// Every library test starts with an empty log at TRACE level, no armed
// faults and its own VOR_HOME.
class library_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string queue_url(const std::string& prefix) const { return home->queue_url(unique_name(prefix)); }

    std::optional<temp_home> home;
    fault_scope faults;
};

}  // namespace vorzmq_test

#endif

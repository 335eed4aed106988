// SPDX-License-Identifier: MIT
// Helpers for the context, naming, request and reply suites: records looked
// up with their location, scoped process settings, and peers that answer a
// scripted list of requests.
#ifndef VORZMQ_TESTS_REQUEST_REPLY_HELPERS_H
#define VORZMQ_TESTS_REQUEST_REPLY_HELPERS_H

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <log4cxx/level.h>
#include <zmq.h>

#include "fixture.h"
#include "vorzmq.h"

namespace vorzmq_test {

inline constexpr int trace_level = log4cxx::Level::TRACE_INT;
inline constexpr int debug_level = log4cxx::Level::DEBUG_INT;
inline constexpr int warn_level = log4cxx::Level::WARN_INT;
inline constexpr int error_level = log4cxx::Level::ERROR_INT;

// Asserts that a record with this level and text exists and that it names
// `function` in the library's source file.
inline void expect_record_at(int level, const std::string& message, const std::string& function)
{
    for (const auto& record : captured_log().records()) {
        if (record.level == level && record.message == message) {
            EXPECT_EQ(record.function, function) << message;
            EXPECT_EQ(record.file, "vorzmq.cpp") << message;
            EXPECT_GT(record.line, 0) << message;
            return;
        }
    }
    ADD_FAILURE() << "missing \"" << message << "\" in " << testing::PrintToString(all_messages());
}

inline std::string zmq_text(int error)
{
    return zmq_strerror(error);
}

inline std::chrono::milliseconds elapsed_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

// Sets (or, with nullopt, removes) an environment variable for one scope.
class scoped_env {
public:
    scoped_env(const char* name, const std::optional<std::string>& value) : name(name)
    {
        if (const char* old = getenv(name)) {
            previous = old;
        }
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    ~scoped_env()
    {
        if (previous) {
            setenv(name, previous->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

private:
    const char* name;
    std::optional<std::string> previous;
};

class scoped_umask {
public:
    explicit scoped_umask(mode_t mask) : previous(umask(mask)) {}
    ~scoped_umask() { umask(previous); }
    scoped_umask(const scoped_umask&) = delete;
    scoped_umask& operator=(const scoped_umask&) = delete;

private:
    mode_t previous;
};

class scoped_cwd {
public:
    explicit scoped_cwd(const std::string& dir) : previous(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~scoped_cwd()
    {
        std::error_code ignored;
        std::filesystem::current_path(previous, ignored);
    }
    scoped_cwd(const scoped_cwd&) = delete;
    scoped_cwd& operator=(const scoped_cwd&) = delete;

private:
    std::filesystem::path previous;
};

// Restores the test logger's level when the scope ends.
class scoped_log_level {
public:
    explicit scoped_log_level(const log4cxx::LevelPtr& level) { logger->setLevel(level); }
    ~scoped_log_level() { logger->setLevel(log4cxx::Level::getAll()); }
    scoped_log_level(const scoped_log_level&) = delete;
    scoped_log_level& operator=(const scoped_log_level&) = delete;
};

// A raw REP socket bound at `url` whose thread answers each request in turn
// with the next scripted reply (a list of frames) and keeps the requests.
class scripted_rep_peer {
public:
    scripted_rep_peer(const std::string& url, std::vector<std::vector<std::string>> replies)
        : server(ZMQ_REP), script(std::move(replies))
    {
        server.bind(url);
        worker = std::thread([this] {
            for (const auto& reply : script) {
                auto request = server.receive_frames(10000);
                if (!request) {
                    return;
                }
                requests.push_back(*request);
                server.send_frames(reply);
            }
        });
    }
    ~scripted_rep_peer() { finish(); }
    scripted_rep_peer(const scripted_rep_peer&) = delete;
    scripted_rep_peer& operator=(const scripted_rep_peer&) = delete;

    // Waits for the script to end (or its 10 s per request to run out) and
    // returns every request received.
    const std::vector<std::vector<std::string>>& finish()
    {
        if (worker.joinable()) {
            worker.join();
        }
        return requests;
    }

private:
    raw_socket server;
    std::vector<std::vector<std::string>> script;
    std::vector<std::vector<std::string>> requests;
    std::thread worker;
};

}  // namespace vorzmq_test

#endif

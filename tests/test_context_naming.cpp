// SPDX-License-Identifier: MIT
// The messaging context's lifecycle records, the context check of every
// socket constructor, and the queue endpoint naming functions.
#include <cerrno>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fixture.h"
#include "request_reply_helpers.h"
#include "vorzmq.h"

using namespace vorzmq_test;

namespace {

std::string thrown_message(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<nothing thrown>";
}

class context_test : public library_test {};

TEST_F(context_test, live_context_logs_its_creation_and_destruction)
{
    auto context = std::make_unique<vorzmq_context>();
    EXPECT_NE(context->context, nullptr);
    EXPECT_EQ(library_calls(zmq_call::ctx_new), 1);
    EXPECT_EQ(all_messages(), std::vector<std::string>{"DEBUG Initializing ZMQ Context"});
    expect_record_at(debug_level, "Initializing ZMQ Context", "vorzmq_context::vorzmq_context()");

    captured_log().clear();
    context.reset();
    EXPECT_EQ(library_calls(zmq_call::ctx_destroy), 1);
    EXPECT_EQ(all_messages(), std::vector<std::string>{"DEBUG Destroying Existing ZMQ Context"});
    expect_record_at(debug_level, "Destroying Existing ZMQ Context", "vorzmq_context::~vorzmq_context()");
}

TEST_F(context_test, destruction_without_debug_logging_still_destroys_the_handle)
{
    auto context = std::make_unique<vorzmq_context>();
    captured_log().clear();
    scoped_log_level quiet(log4cxx::Level::getInfo());
    context.reset();
    EXPECT_EQ(library_calls(zmq_call::ctx_destroy), 1);
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
}

TEST_F(context_test, failed_creation_is_logged_after_the_debug_record_and_never_throws)
{
    for (const int error : {ENOMEM, EMFILE}) {
        SCOPED_TRACE(zmq_text(error));
        captured_log().clear();
        reset_faults();
        arm_fault(zmq_call::ctx_new, error);
        std::optional<vorzmq_context> context;
        EXPECT_NO_THROW(context.emplace());
        EXPECT_EQ(context->context, nullptr);
        const std::vector<std::string> expected{"DEBUG Initializing ZMQ Context",
                                                "ERROR ZMQ Context Init Failed -- " + zmq_text(error)};
        EXPECT_EQ(all_messages(), expected);
        expect_record_at(error_level, "ZMQ Context Init Failed -- " + zmq_text(error),
                         "vorzmq_context::vorzmq_context()");

        // A failed context is destroyed silently and without touching libzmq.
        captured_log().clear();
        const int calls_before = library_calls_total();
        context.reset();
        EXPECT_EQ(library_calls_total(), calls_before);
        EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
    }
}

struct socket_constructor {
    const char* name;
    std::function<void(vorzmq_context&, const std::string&)> construct;
    const char* debug_prefix;
};

const std::vector<socket_constructor>& every_socket_constructor()
{
    static const std::vector<socket_constructor> table{
        {"request", [](vorzmq_context& c, const std::string& u) { vorzmq_request_socket s(c, u); },
         "Initializing ZMQ Request Socket: "},
        {"reply", [](vorzmq_context& c, const std::string& u) { vorzmq_reply_socket s(c, u); },
         "Initializing ZMQ Socket: "},
        {"publish", [](vorzmq_context& c, const std::string& u) { vorzmq_pub_socket s(c, u); },
         "Initializing ZMQ Publish Socket: "},
        {"subscribe", [](vorzmq_context& c, const std::string& u) { vorzmq_sub_socket s(c, u); },
         "Initializing ZMQ Subscribe Socket: "},
        {"re-broadcast", [](vorzmq_context& c, const std::string& u) { vorzmq_rebrdcst_socket s(c, u); },
         "Initializing ZMQ Request Socket: "},
    };
    return table;
}

TEST_F(context_test, every_socket_constructor_refuses_a_failed_context_after_its_debug_record)
{
    arm_fault(zmq_call::ctx_new, ENOMEM);
    vorzmq_context failed;
    ASSERT_EQ(failed.context, nullptr);
    for (const auto& row : every_socket_constructor()) {
        SCOPED_TRACE(row.name);
        captured_log().clear();
        reset_faults();
        const std::string url = queue_url(row.name);
        EXPECT_EQ(thrown_message([&] { row.construct(failed, url); }), "ZMQ Context is NULL");
        EXPECT_EQ(all_messages(), std::vector<std::string>{std::string("DEBUG ") + row.debug_prefix + url});
        EXPECT_EQ(library_calls_total(), 0);
    }
}

TEST_F(context_test, socket_constructors_on_a_live_context_only_log)
{
    vorzmq_context context;
    for (const auto& row : every_socket_constructor()) {
        SCOPED_TRACE(row.name);
        captured_log().clear();
        reset_faults();
        const std::string url = queue_url(row.name);
        EXPECT_EQ(thrown_message([&] { row.construct(context, url); }), "<nothing thrown>");
        EXPECT_EQ(all_messages(), std::vector<std::string>{std::string("DEBUG ") + row.debug_prefix + url});
        // Sockets are lazy: neither construction nor destruction of an unused
        // socket reaches libzmq.
        EXPECT_EQ(library_calls_total(), 0);
    }
}

// ZeroMQ's own default linger is infinite: a context destroyed after a socket
// that still held an undeliverable request would never return unless the
// socket's 1000 ms linger was applied.
TEST_F(context_test, destruction_after_a_socket_with_an_undelivered_request_returns)
{
    auto context = std::make_unique<vorzmq_context>();
    {
        vorzmq_request_socket request(*context, queue_url("nobody-listens"));
        request.send("never delivered", false);
        ASSERT_TRUE(problems().empty()) << testing::PrintToString(problems());
    }
    const auto start = std::chrono::steady_clock::now();
    context.reset();
    EXPECT_LT(elapsed_since(start), std::chrono::seconds(5));
}

// ---------------------------------------------------------------- naming

class naming_test : public library_test {};

struct naming_case {
    std::optional<std::string> home;
    std::string name;
    std::string expected_url;
};

TEST_F(naming_test, builds_the_queue_endpoint_from_home_and_trimmed_name)
{
    const std::vector<naming_case> cases{
        {"/opt/home", "status", "ipc:///opt/home/queues/status"},
        {"/opt/home", " \t status \t ", "ipc:///opt/home/queues/status"},
        {"/opt/home", "\n\v\f\rstatus\r\f\v\n", "ipc:///opt/home/queues/status"},
        {"/opt/home", "\tstatus", "ipc:///opt/home/queues/status"},
        {"/opt/home", "status ", "ipc:///opt/home/queues/status"},
        {"/opt/home", "x", "ipc:///opt/home/queues/x"},
        {"/opt/home", " my queue ", "ipc:///opt/home/queues/my queue"},
        {"/opt/home", "a\tb", "ipc:///opt/home/queues/a\tb"},
        {"/opt/home", "sub/dir", "ipc:///opt/home/queues/sub/dir"},
        {"/opt/home", "..x/y../a..b", "ipc:///opt/home/queues/..x/y../a..b"},
        {"", "status", "ipc:///queues/status"},
        {"/opt/home/", "status", "ipc:///opt/home//queues/status"},
        {"relative/home", "status", "ipc://relative/home/queues/status"},
        {" /padded home ", "status", "ipc:// /padded home /queues/status"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE("VOR_HOME='" + *row.home + "' name='" + row.name + "'");
        scoped_env home_variable("VOR_HOME", row.home);
        captured_log().clear();
        const std::string original = row.name;
        EXPECT_EQ(build_request_response_url(row.name), row.expected_url);
        EXPECT_EQ(row.name, original);
        EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
    }
}

TEST_F(naming_test, empty_or_blank_name_throws_before_the_environment_is_read)
{
    const std::vector<std::string> blank_names{"", " ", "\t", " \t\t ", "\n\r\v\f"};
    for (const auto& home : {std::optional<std::string>("/opt/home"), std::optional<std::string>()}) {
        scoped_env home_variable("VOR_HOME", home);
        for (const auto& name : blank_names) {
            SCOPED_TRACE("VOR_HOME " + std::string(home ? "set" : "unset") + ", name of " +
                         std::to_string(name.size()) + " blanks");
            captured_log().clear();
            EXPECT_EQ(thrown_message([&] { build_request_response_url(name); }),
                      "Empty Request Response Name is Invalid");
            EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
        }
    }
}

// A ".." component would lead out of the queues directory: refused as an
// empty name is, before the environment is read.
TEST_F(naming_test, name_with_a_parent_component_throws)
{
    scoped_env home_variable("VOR_HOME", std::nullopt);
    for (const std::string name : {"..", "../x", " ../x ", "a/../../x", "x/..", "x//.."}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(thrown_message([&] { build_request_response_url(name); }),
                  "Request Response Name Leaves the Queues Directory");
    }
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
}

TEST_F(naming_test, missing_home_is_logged_and_thrown_at_any_log_level)
{
    scoped_env home_variable("VOR_HOME", std::nullopt);
    EXPECT_EQ(thrown_message([] { build_request_response_url(" status "); }), "VOR_HOME Environment Variable Not Set");
    EXPECT_EQ(all_messages(), std::vector<std::string>{"ERROR VOR_HOME Environment Variable Not Set"});
    expect_record_at(error_level, "VOR_HOME Environment Variable Not Set",
                     "std::string build_request_response_url(const string&)");

    captured_log().clear();
    scoped_log_level off(log4cxx::Level::getOff());
    EXPECT_EQ(thrown_message([] { build_request_response_url("status"); }), "VOR_HOME Environment Variable Not Set");
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
}

TEST_F(naming_test, valid_url_accepts_any_non_empty_string)
{
    const std::vector<std::pair<std::string, bool>> cases{
        {"", false},         {" ", true}, {"x", true}, {"ipc:///opt/home/queues/status", true},
        {"not a url", true}, {std::string(1, '\0'), true},
    };
    for (const auto& [url, expected] : cases) {
        SCOPED_TRACE("url of " + std::to_string(url.size()) + " bytes: " + url);
        EXPECT_EQ(valid_url(url), expected);
    }
    EXPECT_TRUE(all_messages().empty());
}

}  // namespace

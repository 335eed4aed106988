// SPDX-License-Identifier: MIT
// The request socket against raw libzmq REP peers.
#include <zmq.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "request_reply_helpers.h"
#include "vorzmq.h"

using namespace vorzmq_test;

namespace {

class request_socket_test : public library_test {};

// The harness must really sit between libvorzmq and libzmq, or every fault
// test below would pass without testing anything.
TEST_F(request_socket_test, fault_injection_reaches_calls_made_inside_the_library)
{
    vorzmq_context context;
    vorzmq_request_socket request(context, queue_url("intercept"));
    arm_fault(zmq_call::socket, ENOMEM);
    request.send("hello", true);
    EXPECT_EQ(library_calls(zmq_call::socket), 1);
    EXPECT_EQ(injected_failures(), 1);
    EXPECT_TRUE(has_record(log4cxx::Level::ERROR_INT, std::string("ZMQ Socket Init Failed -- ") + zmq_strerror(ENOMEM)))
        << testing::PrintToString(all_messages());
}

TEST_F(request_socket_test, acknowledged_request_against_raw_rep_peer)
{
    const std::string url = queue_url("ack");
    raw_socket server(ZMQ_REP);
    server.bind(url);
    std::thread peer([&] {
        auto request = server.receive_frames();
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(*request, std::vector<std::string>{"hello"});
        server.send_frames({std::string("ok\0", 3)});
    });
    vorzmq_context context;
    vorzmq_request_socket request(context, url);
    request.send("hello", true);
    peer.join();
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

const std::string ok_reply("ok\0", 3);

constexpr char send_function[] = "void vorzmq_request_socket::send(const string&, bool)";
constexpr char init_function[] = "void vorzmq_request_socket::init_if_necessary()";
constexpr char receive_function[] = "size_t vorzmq_request_socket::receive(void*, size_t)";

using frames = std::vector<std::string>;
using messages = std::vector<frames>;

TEST_F(request_socket_test, construction_logs_the_url_and_makes_no_zeromq_call)
{
    vorzmq_context context;
    captured_log().clear();
    reset_faults();
    const std::string url = queue_url("lazy");
    vorzmq_request_socket request(context, url);
    EXPECT_EQ(all_messages(), std::vector<std::string>{"DEBUG Initializing ZMQ Request Socket: " + url});
    expect_record_at(debug_level, "Initializing ZMQ Request Socket: " + url,
                     "vorzmq_request_socket::vorzmq_request_socket(vorzmq_context&, const string&)");
    EXPECT_TRUE(request.valid());
    EXPECT_EQ(library_calls_total(), 0);
}

TEST_F(request_socket_test, empty_url_is_invalid_and_never_reaches_zeromq)
{
    vorzmq_context context;
    vorzmq_request_socket request(context, "");
    EXPECT_FALSE(request.valid());
    captured_log().clear();
    reset_faults();

    request.init_if_necessary();
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
    request.send("unsent", true);
    request.send("unsent", false);
    const std::vector<std::string> expected(2, "ERROR Cannot Send Request without Valid Socket");
    EXPECT_EQ(all_messages(), expected);
    expect_record_at(error_level, "Cannot Send Request without Valid Socket", send_function);
    EXPECT_EQ(library_calls_total(), 0);
}

TEST_F(request_socket_test, ok_replies_complete_the_exchange_on_one_socket)
{
    const std::vector<std::pair<const char*, std::string>> accepted{
        {"ok and its zero byte", ok_reply},
        {"bare ok", "ok"},
        {"ok, zero byte and more", std::string("ok\0trailing bytes", 17)},
    };
    vorzmq_context context;
    for (const auto& [label, reply] : accepted) {
        SCOPED_TRACE(label);
        captured_log().clear();
        reset_faults();
        const std::string url = queue_url("ok");
        scripted_rep_peer peer(url, {{reply}, {reply}});
        {
            vorzmq_request_socket request(context, url);
            request.init_if_necessary();
            request.init_if_necessary();  // already connected: nothing to do
            request.send("first", true);
            request.send("second", true);
        }
        EXPECT_EQ(peer.finish(), (messages{{"first"}, {"second"}}));
        EXPECT_EQ(library_calls(zmq_call::socket), 1);
        EXPECT_EQ(library_calls(zmq_call::connect), 1);
        EXPECT_EQ(library_calls(zmq_call::close), 1);
        EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
    }
}

TEST_F(request_socket_test, unexpected_reply_resets_the_socket_before_the_next_request)
{
    const std::vector<std::pair<std::string, std::string>> rejected{
        // reply bytes, reply text as logged
        {"OK", "OK"},
        {"ok ", "ok "},
        {"", ""},
        {"okay", "okay"},
        {"o", "o"},
        {std::string("\0ok", 3), ""},
        // A peer's text cannot forge a record or flood the log.
        {"ok\n", "ok\\n"},
        {"late\r\nWARN forged\t\\\x7f", "late\\r\\nWARN forged\\t\\\\\\x7f"},
        {std::string(300, 'x'), std::string(200, 'x') + "... (300 bytes)"},
    };
    vorzmq_context context;
    for (const auto& [reply, text] : rejected) {
        SCOPED_TRACE("reply '" + text + "' of " + std::to_string(reply.size()) + " bytes");
        captured_log().clear();
        reset_faults();
        const std::string url = queue_url("unexpected");
        scripted_rep_peer peer(url, {{reply}, {ok_reply}});
        {
            vorzmq_request_socket request(context, url);
            request.send("first", true);
            EXPECT_EQ(problems(), std::vector<std::string>{"WARN Received Unexpected Reply: " + text});
            expect_record_at(warn_level, "Received Unexpected Reply: " + text, send_function);
            EXPECT_EQ(library_calls(zmq_call::close), 0);  // the reset waits for the next request

            request.send("second", true);
            const std::vector<std::string> expected{"WARN Received Unexpected Reply: " + text,
                                                    "WARN Closing Request Socket: " + url};
            EXPECT_EQ(problems(), expected);
            expect_record_at(warn_level, "Closing Request Socket: " + url, init_function);
            EXPECT_EQ(library_calls(zmq_call::socket), 2);
            EXPECT_EQ(library_calls(zmq_call::close), 1);
        }
        EXPECT_EQ(peer.finish(), (messages{{"first"}, {"second"}}));
    }
}

TEST_F(request_socket_test, unanswered_request_times_out_after_a_second_and_resets_next_time)
{
    vorzmq_context context;
    const std::string url = queue_url("nobody");
    vorzmq_request_socket request(context, url);
    const auto start = std::chrono::steady_clock::now();
    request.send("lost", true);
    const auto waited = elapsed_since(start);
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(5));
    const std::string failure = "Failed to Receive Message Reply -- " + zmq_text(EAGAIN);
    EXPECT_EQ(problems(), std::vector<std::string>{"ERROR " + failure});
    expect_record_at(error_level, failure, send_function);

    // Not awaiting a reply, so the reset is visible without a second wait.
    request.send("next", false);
    const std::vector<std::string> expected{"ERROR " + failure, "WARN Closing Request Socket: " + url};
    EXPECT_EQ(problems(), expected);
    EXPECT_EQ(library_calls(zmq_call::socket), 2);
    EXPECT_EQ(library_calls(zmq_call::close), 1);
}

// A second send without reading the first one's reply is refused, and the
// socket is made afresh by the next send, which would otherwise be refused
// for ever.
TEST_F(request_socket_test, second_unacknowledged_send_is_refused_and_resets)
{
    const std::string url = queue_url("twice");
    scripted_rep_peer peer(url, {{"answer"}, {ok_reply}});
    vorzmq_context context;
    {
        vorzmq_request_socket request(context, url);
        request.send("one", false);
        request.send("two", false);
        const std::string refused = "Failed to Send Message: two -- " + zmq_text(EFSM);
        EXPECT_EQ(problems(), std::vector<std::string>{"ERROR " + refused});
        expect_record_at(error_level, refused, send_function);

        char buffer[32] = {};
        ASSERT_EQ(request.receive(buffer, sizeof buffer), 6u);
        EXPECT_EQ(std::string(buffer, 6), "answer");
        request.send("three", true);
        EXPECT_EQ(vorzmq_last_result(), vorzmq_result::ok);
        EXPECT_EQ(problems(), (std::vector<std::string>{"ERROR " + refused, "WARN Closing Request Socket: " + url}));
        EXPECT_EQ(library_calls(zmq_call::socket), 2);
    }
    EXPECT_EQ(peer.finish(), (messages{{"one"}, {"three"}}));
}

TEST_F(request_socket_test, receive_before_any_send_fails_and_marks_a_reset)
{
    vorzmq_context context;
    const std::string url = queue_url("early");
    vorzmq_request_socket request(context, url);
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(request.receive(buffer, sizeof buffer), 0u);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'));
    const std::string failure = "Failed to Receive Reply -- " + zmq_text(ENOTSOCK);
    EXPECT_EQ(problems(), std::vector<std::string>{"ERROR " + failure});
    expect_record_at(error_level, failure, receive_function);
    EXPECT_EQ(library_calls(zmq_call::socket), 0);

    request.send("afterwards", false);
    const std::vector<std::string> expected{"ERROR " + failure, "WARN Closing Request Socket: " + url};
    EXPECT_EQ(problems(), expected);
    EXPECT_EQ(library_calls(zmq_call::socket), 1);
}

struct receive_case {
    std::string reply;
    size_t buffer_size;
    size_t expected_result;
};

TEST_F(request_socket_test, receive_stores_at_most_the_buffer_and_reports_truncation)
{
    const std::string ten = "abcdefghij";
    const std::vector<receive_case> cases{
        {ten, 16, 10}, {ten, 10, 10}, {ten, 9, 9}, {ten, 1, 1}, {ten, 0, 0},
        {"", 8, 0},    {"", 0, 0},    {std::string("a\0b", 3), 8, 3},
    };
    messages script;
    for (const auto& row : cases) {
        script.push_back({row.reply});
    }
    const std::string url = queue_url("truncate");
    scripted_rep_peer peer(url, script);
    vorzmq_context context;
    vorzmq_request_socket request(context, url);
    std::vector<std::string> expected_problems;
    for (const auto& row : cases) {
        SCOPED_TRACE("reply of " + std::to_string(row.reply.size()) + " bytes into " +
                     std::to_string(row.buffer_size));
        char buffer[32];
        std::memset(buffer, '#', sizeof buffer);
        request.send("request", false);
        EXPECT_EQ(request.receive(buffer, row.buffer_size), row.expected_result);
        // The stored bytes, then the caller's bytes untouched: no terminator.
        const std::string expected_buffer =
            row.reply.substr(0, row.expected_result) + std::string(sizeof buffer - row.expected_result, '#');
        EXPECT_EQ(std::string(buffer, sizeof buffer), expected_buffer);
        const bool cut = row.reply.size() > row.buffer_size;
        EXPECT_EQ(vorzmq_last_result(), cut ? vorzmq_result::truncated : vorzmq_result::ok);
        if (cut) {
            const std::string warning = "Insufficient Buffer Size (" + std::to_string(row.buffer_size) + " < " +
                                        std::to_string(row.reply.size()) + ") -- Repy Truncated";
            expected_problems.push_back("WARN " + warning);
            expect_record_at(warn_level, warning, receive_function);
        }
        EXPECT_EQ(problems(), expected_problems);
    }
    EXPECT_EQ(library_calls(zmq_call::socket), 1);
}

TEST_F(request_socket_test, whole_reply_receive_keeps_every_byte)
{
    const std::vector<std::string> replies{"", std::string("a\0b\0", 4), std::string(5'000'000, 'r')};
    messages script;
    for (const auto& reply : replies) {
        script.push_back({reply, "extra frame"});
    }
    const std::string url = queue_url("whole");
    scripted_rep_peer peer(url, script);
    vorzmq_context context;
    vorzmq_request_socket request(context, url);
    request.set_receive_timeout_ms(10'000);
    for (const auto& expected : replies) {
        SCOPED_TRACE(std::to_string(expected.size()) + " bytes");
        std::string reply = "stale";
        request.send("request", false);
        ASSERT_TRUE(request.receive(reply));
        EXPECT_EQ(reply, expected);
        EXPECT_EQ(vorzmq_last_result(), vorzmq_result::ok);
    }
    std::string untouched = "untouched";
    EXPECT_FALSE(request.receive(untouched));  // no request outstanding
    EXPECT_EQ(untouched, "untouched");
    EXPECT_EQ(vorzmq_last_result(), vorzmq_result::receive_failed);
    EXPECT_EQ(library_calls(zmq_call::socket), 1);
}

TEST_F(request_socket_test, multi_frame_replies_are_read_whole_and_do_not_wedge_the_socket)
{
    const std::string url = queue_url("frames");
    scripted_rep_peer peer(url, {{ok_reply, "extra", "frames"}, {"reply", "tail"}, {ok_reply}});
    vorzmq_context context;
    {
        vorzmq_request_socket request(context, url);
        request.send("acknowledged", true);
        request.send("answered", false);
        char buffer[16] = {};
        EXPECT_EQ(request.receive(buffer, sizeof buffer), 5u);
        EXPECT_EQ(std::string(buffer), "reply");
        request.send("after", true);
        EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
        EXPECT_EQ(library_calls(zmq_call::socket), 1);
    }
    EXPECT_EQ(peer.finish(), (messages{{"acknowledged"}, {"answered"}, {"after"}}));
}

TEST_F(request_socket_test, refused_socket_options_are_warnings_and_the_socket_still_works)
{
    const std::string timeout_refused = "Failed to Set Socket Timeout (1000) -- " + zmq_text(EINVAL);
    const std::string linger_refused = "Failed to Set Socket Linger (1000) -- " + zmq_text(EINVAL);
    const std::vector<std::pair<std::vector<int>, std::vector<std::string>>> cases{
        {{ZMQ_RCVTIMEO}, {"WARN " + timeout_refused}},
        {{ZMQ_LINGER}, {"WARN " + linger_refused}},
        {{ZMQ_RCVTIMEO, ZMQ_LINGER}, {"WARN " + timeout_refused, "WARN " + linger_refused}},
    };
    vorzmq_context context;
    for (const auto& [options, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(expected));
        captured_log().clear();
        reset_faults();
        for (const int option : options) {
            arm_fault(zmq_call::setsockopt, EINVAL, 1, 0, option);
        }
        const std::string url = queue_url("options");
        scripted_rep_peer peer(url, {{ok_reply}});
        {
            vorzmq_request_socket request(context, url);
            request.send("still works", true);
        }
        EXPECT_EQ(peer.finish(), (messages{{"still works"}}));
        EXPECT_EQ(problems(), expected);
        EXPECT_EQ(injected_failures(), static_cast<int>(options.size()));
        expect_record_at(warn_level, expected.front().substr(5), init_function);
    }
}

TEST_F(request_socket_test, failed_connect_is_retried_on_every_send)
{
    vorzmq_context context;
    const std::string url = "bogus://" + unique_name("queue");
    vorzmq_request_socket request(context, url);
    const std::string failure =
        "Failed to Connect to ZMQ URL: " + url + " -- " + zmq_text(EPROTONOSUPPORT) + " -- Closing Socket";
    std::vector<std::string> expected;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        request.send("never sent", true);
        expected.push_back("ERROR " + failure);
        expected.push_back("ERROR Cannot Send Request without Valid Socket");
        EXPECT_EQ(problems(), expected);
        EXPECT_EQ(library_calls(zmq_call::socket), attempt);
        EXPECT_EQ(library_calls(zmq_call::connect), attempt);
        EXPECT_EQ(library_calls(zmq_call::close), attempt);
    }
    expect_record_at(error_level, failure, init_function);
}

struct transient_failure {
    const char* label;
    zmq_call call;
    int error;
    std::string record;  // what the failing first send logs, before the "Cannot Send" record
};

TEST_F(request_socket_test, failed_creation_or_connect_recovers_on_the_next_send)
{
    const std::vector<transient_failure> cases{
        {"socket", zmq_call::socket, EMFILE, "ZMQ Socket Init Failed -- " + zmq_text(EMFILE)},
        {"connect", zmq_call::connect, ENOMEM, "Failed to Connect to ZMQ URL: <url> -- " + zmq_text(ENOMEM) +
                                                   " -- Closing Socket"},
    };
    vorzmq_context context;
    for (const auto& row : cases) {
        SCOPED_TRACE(row.label);
        captured_log().clear();
        reset_faults();
        const std::string url = queue_url(row.label);
        std::string record = row.record;
        if (const auto at = record.find("<url>"); at != std::string::npos) {
            record.replace(at, 5, url);
        }
        scripted_rep_peer peer(url, {{ok_reply}});
        arm_fault(row.call, row.error);
        {
            vorzmq_request_socket request(context, url);
            request.send("dropped", true);
            request.send("delivered", true);
        }
        EXPECT_EQ(peer.finish(), (messages{{"delivered"}}));
        const std::vector<std::string> expected{"ERROR " + record, "ERROR Cannot Send Request without Valid Socket"};
        EXPECT_EQ(problems(), expected);
        expect_record_at(error_level, record, init_function);
    }
}

// A failed send resets the socket; one that a signal interrupted sent
// nothing and keeps it.
TEST_F(request_socket_test, failed_send_is_logged_and_resets)
{
    for (const int error : {EFAULT, EINTR}) {
        SCOPED_TRACE(zmq_text(error));
        reset_faults();
        captured_log().clear();
        const std::string url = queue_url("send-fails");
        scripted_rep_peer peer(url, {{ok_reply}});
        vorzmq_context context;
        {
            vorzmq_request_socket request(context, url);
            arm_fault(zmq_call::send, error);
            request.send("failed", true);
            EXPECT_EQ(vorzmq_last_result(), error == EINTR ? vorzmq_result::interrupted : vorzmq_result::not_sent);
            request.send("delivered", true);
        }
        EXPECT_EQ(peer.finish(), (messages{{"delivered"}}));
        const std::string failure = "Failed to Send Message: failed -- " + zmq_text(error);
        if (error == EINTR) {
            EXPECT_EQ(problems(), std::vector<std::string>{});
            EXPECT_EQ(library_calls(zmq_call::socket), 1);
        } else {
            EXPECT_EQ(problems(), (std::vector<std::string>{"ERROR " + failure, "WARN Closing Request Socket: " + url}));
            expect_record_at(error_level, failure, send_function);
            EXPECT_EQ(library_calls(zmq_call::socket), 2);
        }
    }
}

TEST_F(request_socket_test, empty_message_travels_as_an_empty_frame)
{
    const std::string url = queue_url("empty");
    scripted_rep_peer peer(url, {{ok_reply}});
    vorzmq_context context;
    {
        vorzmq_request_socket request(context, url);
        request.send("", true);
    }
    EXPECT_EQ(peer.finish(), (messages{{""}}));
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

TEST_F(request_socket_test, destructor_is_silent_and_closes_only_what_was_opened)
{
    vorzmq_context context;
    const std::string url = queue_url("destroy");
    {
        vorzmq_request_socket unused(context, url);
        captured_log().clear();
        reset_faults();
    }
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
    EXPECT_EQ(library_calls_total(), 0);

    {
        vorzmq_request_socket used(context, url);
        used.init_if_necessary();
        captured_log().clear();
        reset_faults();
    }
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
    EXPECT_EQ(library_calls(zmq_call::close), 1);
    EXPECT_EQ(library_calls_total(), 1);
}

// Records are built only when their level is enabled, but the reset must not
// depend on that.
TEST_F(request_socket_test, resets_happen_with_logging_switched_off)
{
    vorzmq_context context;
    const std::string url = queue_url("silent");
    scripted_rep_peer peer(url, {{"not ok"}, {ok_reply}, {"lost"}, {ok_reply}});
    {
        vorzmq_request_socket request(context, url);
        captured_log().clear();
        scoped_log_level off(log4cxx::Level::getOff());
        request.send("unexpected reply", true);
        request.send("after reset", true);
        EXPECT_EQ(library_calls(zmq_call::socket), 2);
        EXPECT_EQ(library_calls(zmq_call::close), 1);

        request.send("unanswered", false);
        arm_fault(zmq_call::recv, EFAULT);
        char buffer[8];
        EXPECT_EQ(request.receive(buffer, sizeof buffer), 0u);
        request.send("after failed receive", true);
        EXPECT_EQ(library_calls(zmq_call::socket), 3);
        EXPECT_EQ(library_calls(zmq_call::close), 2);
    }
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
    EXPECT_EQ(peer.finish(),
              (messages{{"unexpected reply"}, {"after reset"}, {"unanswered"}, {"after failed receive"}}));
}

}  // namespace

// SPDX-License-Identifier: MIT
// The reply socket against raw libzmq REQ peers, where the bytes on the wire
// matter, and against the library's own request socket end to end.
#include <atomic>
#include <cerrno>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <json/value.h>

#include "fixture.h"
#include "request_reply_helpers.h"
#include "vorzmq.h"

using namespace vorzmq_test;

namespace {

constexpr char constructor_function[] = "vorzmq_reply_socket::vorzmq_reply_socket(vorzmq_context&, const string&)";
constexpr char init_function[] = "void vorzmq_reply_socket::init_if_necessary()";
constexpr char receive_function[] = "bool vorzmq_reply_socket::receive(std::stringstream&, bool)";
constexpr char send_ok_function[] = "void vorzmq_reply_socket::send_ok()";
constexpr char send_string_function[] = "void vorzmq_reply_socket::send(const string&)";
constexpr char send_bytes_function[] = "void vorzmq_reply_socket::send(const void*, size_t)";

const std::string ok_reply("ok\0", 3);

using frames = std::vector<std::string>;

Json::Value member_a_is_1()
{
    Json::Value value;
    value["a"] = 1;
    return value;
}

std::string receive_failure(int error)
{
    return "Failed to Receive Message -- ZMQ Error: " + zmq_text(error) + " -- Closing Socket on Unexpected Error";
}

class reply_socket_test : public library_test {};

TEST_F(reply_socket_test, construction_and_destruction_of_an_unused_socket_stay_away_from_zeromq)
{
    vorzmq_context context;
    captured_log().clear();
    reset_faults();
    const std::string url = queue_url("unused");
    {
        vorzmq_reply_socket reply(context, url);
        EXPECT_EQ(all_messages(), std::vector<std::string>{"DEBUG Initializing ZMQ Socket: " + url});
        expect_record_at(debug_level, "Initializing ZMQ Socket: " + url, constructor_function);
    }
    EXPECT_EQ(all_messages().size(), 1u);
    EXPECT_EQ(library_calls_total(), 0);
}

TEST_F(reply_socket_test, acknowledged_request_is_answered_with_exactly_ok_and_a_zero_byte)
{
    const std::string url = queue_url("ack");
    raw_socket client(ZMQ_REQ);
    client.connect(url);
    client.send_frames({"hello"});
    vorzmq_context context;
    {
        vorzmq_reply_socket reply(context, url);
        std::stringstream request;
        EXPECT_TRUE(reply.receive(request, true));
        EXPECT_EQ(request.str(), "hello");
        const auto answer = client.receive_frames();
        ASSERT_TRUE(answer.has_value());
        ASSERT_EQ(answer->size(), 1u);
        EXPECT_EQ(answer->front(), std::string({'\x6F', '\x6B', '\x00'}));
        EXPECT_EQ(library_calls(zmq_call::bind), 1);
        captured_log().clear();
        reset_faults();
    }
    // The destructor closes the socket and logs nothing.
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
    EXPECT_EQ(library_calls(zmq_call::close), 1);
    EXPECT_EQ(library_calls(zmq_call::unbind), 0);
}

struct response_case {
    const char* label;
    std::function<void(vorzmq_reply_socket&)> respond;
    std::string expected_bytes;
};

TEST_F(reply_socket_test, every_response_form_puts_exactly_its_bytes_on_the_wire)
{
    static const unsigned char block[] = {0x00, 0xFF, 0x10, 0x7F};
    const std::vector<response_case> cases{
        {"ok", [](vorzmq_reply_socket& r) { r.send_ok(); }, ok_reply},
        {"string", [](vorzmq_reply_socket& r) { r.send(std::string("answer")); }, "answer"},
        {"string with a zero byte", [](vorzmq_reply_socket& r) { r.send(std::string("a\0b", 3)); },
         std::string("a\0b", 3)},
        {"empty string", [](vorzmq_reply_socket& r) { r.send(std::string()); }, ""},
        {"byte block", [](vorzmq_reply_socket& r) { r.send(block, sizeof block); },
         std::string(reinterpret_cast<const char*>(block), sizeof block)},
        {"empty byte block", [](vorzmq_reply_socket& r) { r.send(block, 0); }, ""},
        {"text literal", [](vorzmq_reply_socket& r) { r.send("done"); }, "done"},
        {"JSON object", [](vorzmq_reply_socket& r) { r.send(member_a_is_1()); }, "{\"a\":1}\n"},
        {"JSON array",
         [](vorzmq_reply_socket& r) {
             Json::Value list(Json::arrayValue);
             list.append(1);
             list.append("x");
             r.send(list);
         },
         "[1,\"x\"]\n"},
    };
    const std::string url = queue_url("forms");
    raw_socket client(ZMQ_REQ);
    client.connect(url);
    vorzmq_context context;
    vorzmq_reply_socket reply(context, url);
    for (const auto& row : cases) {
        SCOPED_TRACE(row.label);
        client.send_frames({row.label});
        std::stringstream request;
        ASSERT_TRUE(reply.receive(request, false));
        EXPECT_EQ(request.str(), row.label);
        row.respond(reply);
        EXPECT_EQ(client.receive_frames(), frames{row.expected_bytes});
    }
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
    EXPECT_EQ(library_calls(zmq_call::bind), 1);
}

// Calls that once compiled to the wrong thing, or not at all.
template <class Argument, class = void>
struct reply_takes : std::false_type {};
template <class Argument>
struct reply_takes<Argument, std::void_t<decltype(std::declval<vorzmq_reply_socket&>().send(std::declval<Argument>()))>>
    : std::true_type {};
template <class Argument, class = void>
struct request_takes : std::false_type {};
template <class Argument>
struct request_takes<Argument, std::void_t<decltype(std::declval<vorzmq_request_socket&>().send(
                                   std::string(), std::declval<Argument>()))>> : std::true_type {};
static_assert(reply_takes<const char*>::value && reply_takes<std::string>::value && reply_takes<Json::Value>::value);
static_assert(!reply_takes<bool>::value && !reply_takes<int>::value);
static_assert(request_takes<bool>::value && !request_takes<const char*>::value);

struct request_case {
    const char* label;
    frames request;
    std::string already_in_stream;
    bool acknowledge;
    std::string expected_stream;
    std::string expected_whole;  // what the whole-request form hands over
};

// The text form appends up to the first zero byte; the whole-request form
// replaces its string with every byte of the first frame.
TEST_F(reply_socket_test, request_text_is_appended_up_to_its_first_zero_byte)
{
    const std::vector<request_case> cases{
        {"plain", {"hello"}, "", true, "hello", "hello"},
        {"zero byte inside", {std::string("ab\0cd", 5)}, "", false, "ab", std::string("ab\0cd", 5)},
        {"zero byte inside, acknowledged", {std::string("ab\0cd", 5)}, "", true, "ab", std::string("ab\0cd", 5)},
        {"empty, acknowledged", {""}, "", true, "", ""},
        {"empty", {""}, "", false, "", ""},
        {"appended", {"world"}, "hello ", false, "hello world", "world"},
        {"several frames", {"first", "second", "third"}, "", false, "first", "first"},
        {"several frames, acknowledged", {"first", "second"}, "", true, "first", "first"},
    };
    const std::string url = queue_url("requests");
    raw_socket client(ZMQ_REQ);
    client.connect(url);
    vorzmq_context context;
    vorzmq_reply_socket reply(context, url);
    for (const bool whole : {false, true}) {
        for (const auto& row : cases) {
            SCOPED_TRACE(std::string(row.label) + (whole ? ", whole" : ", text"));
            client.send_frames(row.request);
            if (whole) {
                std::string request = row.already_in_stream;
                ASSERT_TRUE(reply.receive(request, row.acknowledge));
                EXPECT_EQ(request, row.expected_whole);
            } else {
                std::stringstream stream;
                stream << row.already_in_stream;
                ASSERT_TRUE(reply.receive(stream, row.acknowledge));
                EXPECT_EQ(stream.str(), row.expected_stream);
            }
            // The exchange completes either way, so no frame was left unread.
            if (row.acknowledge) {
                EXPECT_EQ(client.receive_frames(), frames{ok_reply});
            } else {
                reply.send(std::string("answer"));
                EXPECT_EQ(client.receive_frames(), frames{"answer"});
            }
        }
    }
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
    EXPECT_EQ(library_calls(zmq_call::bind), 1);
}

TEST_F(reply_socket_test, timeout_is_a_trace_record_and_keeps_the_socket)
{
    const std::string url = queue_url("quiet");
    vorzmq_context context;
    vorzmq_reply_socket reply(context, url);
    reply.init_if_necessary();
    std::stringstream stream;
    stream << "kept";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(reply.receive(stream, true));
    const auto waited = elapsed_since(start);
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(stream.str(), "kept");
    EXPECT_EQ(count_records(trace_level, "No Messages Received Before Timeout: 1000ms"), 1u);
    expect_record_at(trace_level, "No Messages Received Before Timeout: 1000ms", receive_function);

    raw_socket client(ZMQ_REQ);
    client.connect(url);
    client.send_frames({"late"});
    // Each receive waits the default 1000 ms; a loaded machine may need more.
    EXPECT_TRUE(wait_until([&] { return reply.receive(stream, true); }));
    EXPECT_EQ(stream.str(), "keptlate");
    EXPECT_EQ(client.receive_frames(), frames{ok_reply});
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
    EXPECT_EQ(library_calls(zmq_call::socket), 1);
    EXPECT_EQ(library_calls(zmq_call::bind), 1);
}

TEST_F(reply_socket_test, second_receive_without_a_reply_fails_and_rebinds_next_time)
{
    const std::string url = queue_url("double");
    raw_socket first_client(ZMQ_REQ);
    first_client.connect(url);
    first_client.send_frames({"one"});
    vorzmq_context context;
    vorzmq_reply_socket reply(context, url);
    std::stringstream stream;
    ASSERT_TRUE(wait_until([&] { return reply.receive(stream, false); }));  // the client reconnects after the bind
    EXPECT_FALSE(reply.receive(stream, false));
    EXPECT_EQ(stream.str(), "one");
    EXPECT_EQ(problems(), std::vector<std::string>{"ERROR " + receive_failure(EFSM)});
    expect_record_at(error_level, receive_failure(EFSM), receive_function);
    EXPECT_EQ(library_calls(zmq_call::close), 0);  // closed only by the next call

    // Rebinding first, so that the next request cannot reach the old socket.
    reply.init_if_necessary();
    const std::vector<std::string> expected{"ERROR " + receive_failure(EFSM), "WARN Closing Socket"};
    EXPECT_EQ(problems(), expected);
    expect_record_at(warn_level, "Closing Socket", init_function);
    EXPECT_EQ(library_calls(zmq_call::close), 1);
    EXPECT_EQ(library_calls(zmq_call::bind), 2);

    raw_socket second_client(ZMQ_REQ);
    second_client.connect(url);
    second_client.send_frames({"two"});
    std::stringstream after;
    EXPECT_TRUE(reply.receive(after, true));
    EXPECT_EQ(after.str(), "two");
    EXPECT_EQ(second_client.receive_frames(), frames{ok_reply});
    EXPECT_EQ(problems(), expected);
    EXPECT_EQ(library_calls(zmq_call::bind), 2);
}

// One way of answering a request, and the record its refusal gives.
struct reply_form_case {
    const char* label;
    std::function<void(vorzmq_reply_socket&)> respond;
    std::string record;
    const char* function;
};

// The OK reply already answered the request, so ZeroMQ refuses another.
TEST_F(reply_socket_test, reply_after_an_acknowledged_request_fails_and_keeps_the_socket)
{
    const std::string refused = zmq_text(EFSM);
    const std::vector<reply_form_case> cases{
        {"string", [](vorzmq_reply_socket& r) { r.send(std::string("late")); },
         "Failed to Send Response -- " + refused, send_string_function},
        {"JSON", [](vorzmq_reply_socket& r) { r.send(member_a_is_1()); }, "Failed to Send Response -- " + refused,
         send_string_function},
        {"ok", [](vorzmq_reply_socket& r) { r.send_ok(); }, "Failed to Send OK Response -- " + refused,
         send_ok_function},
    };
    const std::string url = queue_url("late");
    raw_socket client(ZMQ_REQ);
    client.connect(url);
    vorzmq_context context;
    vorzmq_reply_socket reply(context, url);
    for (const auto& row : cases) {
        SCOPED_TRACE(row.label);
        captured_log().clear();
        client.send_frames({row.label});
        std::stringstream stream;
        ASSERT_TRUE(reply.receive(stream, true));
        EXPECT_EQ(client.receive_frames(), frames{ok_reply});
        row.respond(reply);
        EXPECT_EQ(problems(), std::vector<std::string>{"ERROR " + row.record});
        expect_record_at(error_level, row.record, row.function);
    }
    EXPECT_EQ(library_calls(zmq_call::bind), 1);
    EXPECT_EQ(library_calls(zmq_call::close), 0);
}

TEST_F(reply_socket_test, byte_block_reply_after_an_acknowledged_request_resets_the_socket)
{
    const std::string url = queue_url("late-bytes");
    raw_socket client(ZMQ_REQ);
    client.connect(url);
    client.send_frames({"request"});
    vorzmq_context context;
    vorzmq_reply_socket reply(context, url);
    std::stringstream stream;
    ASSERT_TRUE(reply.receive(stream, true));
    EXPECT_EQ(client.receive_frames(), frames{ok_reply});
    reply.send("late", 4);
    const std::string failure = "Failed to Send Data -- " + zmq_text(EFSM);
    EXPECT_EQ(problems(), std::vector<std::string>{"ERROR " + failure});
    expect_record_at(error_level, failure, send_bytes_function);

    reply.init_if_necessary();
    const std::vector<std::string> expected{"ERROR " + failure, "WARN Closing Socket"};
    EXPECT_EQ(problems(), expected);
    EXPECT_EQ(library_calls(zmq_call::close), 1);
    EXPECT_EQ(library_calls(zmq_call::bind), 2);
}

TEST_F(reply_socket_test, replies_before_any_receive_fail_without_creating_a_socket)
{
    const std::string no_socket = zmq_text(ENOTSOCK);
    const std::vector<reply_form_case> cases{
        {"ok", [](vorzmq_reply_socket& r) { r.send_ok(); }, "Failed to Send OK Response -- " + no_socket,
         send_ok_function},
        {"string", [](vorzmq_reply_socket& r) { r.send(std::string("early")); },
         "Failed to Send Response -- " + no_socket, send_string_function},
        {"JSON", [](vorzmq_reply_socket& r) { r.send(member_a_is_1()); }, "Failed to Send Response -- " + no_socket,
         send_string_function},
    };
    vorzmq_context context;
    for (const auto& row : cases) {
        SCOPED_TRACE(row.label);
        captured_log().clear();
        reset_faults();
        vorzmq_reply_socket reply(context, queue_url("unbound"));
        row.respond(reply);
        EXPECT_EQ(problems(), std::vector<std::string>{"ERROR " + row.record});
        expect_record_at(error_level, row.record, row.function);
        EXPECT_EQ(library_calls(zmq_call::socket), 0);
        EXPECT_EQ(library_calls(zmq_call::bind), 0);
    }
}

// Only the byte-block form binds first; with no request to answer, ZeroMQ
// refuses the reply and the socket is marked for a reset.
TEST_F(reply_socket_test, byte_block_reply_before_any_receive_binds_then_fails)
{
    vorzmq_context context;
    vorzmq_reply_socket reply(context, queue_url("unasked"));
    reply.send("data", 4);
    const std::string failure = "Failed to Send Data -- " + zmq_text(EFSM);
    EXPECT_EQ(problems(), std::vector<std::string>{"ERROR " + failure});
    EXPECT_EQ(library_calls(zmq_call::bind), 1);
    reply.init_if_necessary();
    const std::vector<std::string> expected{"ERROR " + failure, "WARN Closing Socket"};
    EXPECT_EQ(problems(), expected);
    EXPECT_EQ(library_calls(zmq_call::bind), 2);
}

// The one slow case: every failed bind pauses the caller for 5 seconds.
TEST_F(reply_socket_test, bind_conflict_is_logged_and_pauses_five_seconds)
{
    const std::string url = free_tcp_url();
    raw_socket occupant(ZMQ_REP);
    occupant.bind(url);
    vorzmq_context context;
    vorzmq_reply_socket reply(context, url);
    std::stringstream stream;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(reply.receive(stream, true));
    const auto waited = elapsed_since(start);
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    EXPECT_LT(waited, std::chrono::seconds(15));
    const std::string failure =
        "Failed to Bind to ZMQ URL: " + url + " -- " + zmq_text(EADDRINUSE) + " -- Closing Socket";
    const std::vector<std::string> expected{"ERROR " + failure, "ERROR Cannot Receive Request without Valid Socket"};
    EXPECT_EQ(problems(), expected);
    expect_record_at(error_level, failure, init_function);
    expect_record_at(error_level, "Cannot Receive Request without Valid Socket", receive_function);
    EXPECT_EQ(library_calls(zmq_call::close), 1);
    EXPECT_TRUE(stream.str().empty());
}

struct creation_failure_case {
    const char* label;
    std::function<void(vorzmq_reply_socket&)> operate;
    std::string record;
    const char* function;
};

TEST_F(reply_socket_test, failed_socket_creation_is_retried_by_the_next_call)
{
    const std::vector<creation_failure_case> cases{
        {"receive",
         [](vorzmq_reply_socket& r) {
             std::stringstream stream;
             EXPECT_FALSE(r.receive(stream, true));
         },
         "Cannot Receive Request without Valid Socket", receive_function},
        {"byte block", [](vorzmq_reply_socket& r) { r.send("x", 1); }, "Cannot Send Request without Valid Socket",
         send_bytes_function},
    };
    vorzmq_context context;
    for (const auto& row : cases) {
        SCOPED_TRACE(row.label);
        captured_log().clear();
        reset_faults();
        vorzmq_reply_socket reply(context, queue_url("no-socket"));
        arm_fault(zmq_call::socket, EMFILE);
        const auto start = std::chrono::steady_clock::now();
        row.operate(reply);
        EXPECT_LT(elapsed_since(start), std::chrono::seconds(4));  // no bind, so no pause
        const std::string failure = "ZMQ Socket Init Failed -- " + zmq_text(EMFILE);
        const std::vector<std::string> expected{"ERROR " + failure, "ERROR " + row.record};
        EXPECT_EQ(problems(), expected);
        expect_record_at(error_level, failure, init_function);
        expect_record_at(error_level, row.record, row.function);
        EXPECT_EQ(library_calls(zmq_call::bind), 0);

        reply.init_if_necessary();
        EXPECT_EQ(problems(), expected);
        EXPECT_EQ(library_calls(zmq_call::socket), 2);
        EXPECT_EQ(library_calls(zmq_call::bind), 1);
    }
}

TEST_F(reply_socket_test, refused_socket_options_are_warnings_and_the_socket_still_works)
{
    arm_fault(zmq_call::setsockopt, EINVAL, 1, 0, ZMQ_RCVTIMEO);
    arm_fault(zmq_call::setsockopt, EINVAL, 1, 0, ZMQ_LINGER);
    const std::string url = queue_url("options");
    raw_socket client(ZMQ_REQ);
    client.connect(url);
    client.send_frames({"still works"});
    vorzmq_context context;
    vorzmq_reply_socket reply(context, url);
    std::stringstream stream;
    EXPECT_TRUE(reply.receive(stream, true));
    EXPECT_EQ(stream.str(), "still works");
    EXPECT_EQ(client.receive_frames(), frames{ok_reply});
    const std::string timeout_refused = "Failed to Set Socket Timeout (1000) -- " + zmq_text(EINVAL);
    const std::string linger_refused = "Failed to Set Socket Linger (1000) -- " + zmq_text(EINVAL);
    const std::vector<std::string> expected{"WARN " + timeout_refused, "WARN " + linger_refused};
    EXPECT_EQ(problems(), expected);
    expect_record_at(warn_level, timeout_refused, init_function);
    expect_record_at(warn_level, linger_refused, init_function);
}

struct receive_failure_case {
    const char* label;
    int32_t timeout_ms;
    int32_t flags;
    int injected_error;  // 0: none
    int level;
    std::string record;
    bool resets;
};

// Only EAGAIN with a timeout of 0 or more counts as a timeout.
TEST_F(reply_socket_test, receive_failures_other_than_a_timeout_mark_a_reset)
{
    const std::vector<receive_failure_case> cases{
        {"zero timeout", 0, 0, 0, trace_level, "No Messages Received Before Timeout: 0ms", false},
        {"no timeout, not waiting", -1, ZMQ_DONTWAIT, 0, error_level, receive_failure(EAGAIN), true},
        {"bad_address", 1000, 0, EFAULT, error_level, receive_failure(EFAULT), true},
        {"interrupted", 1000, 0, EINTR, trace_level, "Receive Interrupted by a Signal -- Socket Kept", false},
    };
    vorzmq_context context;
    for (const auto& row : cases) {
        SCOPED_TRACE(row.label);
        captured_log().clear();
        reset_faults();
        vorzmq_reply_socket reply(context, queue_url("failing"));
        reply.set_receive_timeout_ms(row.timeout_ms);
        reply.set_receive_flags(row.flags);
        reply.init_if_necessary();
        if (row.injected_error != 0) {
            arm_fault(zmq_call::msg_recv, row.injected_error);
        }
        std::stringstream stream;
        EXPECT_FALSE(reply.receive(stream, true));
        EXPECT_EQ(count_records(row.level, row.record), 1u) << testing::PrintToString(all_messages());
        expect_record_at(row.level, row.record, receive_function);

        reply.init_if_necessary();
        EXPECT_EQ(has_record(warn_level, "Closing Socket"), row.resets);
        EXPECT_EQ(library_calls(zmq_call::bind), row.resets ? 2 : 1);
    }
}

// Records are built only when their level is enabled, but the resets must
// not depend on that.
TEST_F(reply_socket_test, resets_happen_with_logging_switched_off)
{
    const std::string url = queue_url("silent");
    raw_socket client(ZMQ_REQ);
    client.connect(url);
    client.send_frames({"one"});
    vorzmq_context context;
    vorzmq_reply_socket reply(context, url);
    captured_log().clear();
    scoped_log_level off(log4cxx::Level::getOff());

    std::stringstream stream;
    ASSERT_TRUE(reply.receive(stream, false));
    EXPECT_FALSE(reply.receive(stream, false));  // a second receive breaks the exchange
    reply.init_if_necessary();
    EXPECT_EQ(library_calls(zmq_call::close), 1);
    EXPECT_EQ(library_calls(zmq_call::bind), 2);

    reply.send("unasked", 7);  // no request pending: refused
    reply.init_if_necessary();
    EXPECT_EQ(library_calls(zmq_call::close), 2);
    EXPECT_EQ(library_calls(zmq_call::bind), 3);
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
}

TEST_F(reply_socket_test, request_and_reply_sockets_complete_many_exchanges_in_a_row)
{
    constexpr int acknowledged_exchanges = 200;
    const std::string url = build_request_response_url(" " + unique_name("exchange") + "\t");
    ASSERT_EQ(url.rfind("ipc://" + home->path() + "/queues/exchange-", 0), 0u) << url;
    vorzmq_context context;
    std::atomic<bool> bound{false};
    std::vector<std::string> received;
    std::thread server([&] {
        vorzmq_reply_socket reply(context, url);
        reply.init_if_necessary();
        bound = true;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (received.size() < acknowledged_exchanges && std::chrono::steady_clock::now() < deadline) {
            std::stringstream stream;
            if (reply.receive(stream, true)) {
                received.push_back(stream.str());
            }
        }
        // Then one exchange answered by the host, in each response form.
        for (int i = 0; i < 2 && std::chrono::steady_clock::now() < deadline;) {
            std::stringstream stream;
            if (!reply.receive(stream, false)) {
                continue;
            }
            received.push_back(stream.str());
            if (i++ == 0) {
                reply.send(std::string("answer"));
            } else {
                reply.send(member_a_is_1());
            }
        }
    });
    ASSERT_TRUE(wait_until([&] { return bound.load(); }));
    std::vector<std::string> sent;
    char answer[16] = {};
    size_t answer_size = 0;
    char json_answer[16] = {};
    size_t json_answer_size = 0;
    {
        vorzmq_request_socket request(context, url);
        for (int i = 0; i < acknowledged_exchanges; ++i) {
            sent.push_back("message " + std::to_string(i));
            request.send(sent.back(), true);
        }
        sent.push_back("question");
        request.send(sent.back(), false);
        answer_size = request.receive(answer, sizeof answer);
        sent.push_back("json question");
        request.send(sent.back(), false);
        json_answer_size = request.receive(json_answer, sizeof json_answer);
    }
    server.join();
    EXPECT_EQ(received, sent);
    EXPECT_EQ(std::string(answer, answer_size), "answer");
    EXPECT_EQ(std::string(json_answer, json_answer_size), "{\"a\":1}\n");
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
    EXPECT_EQ(library_calls(zmq_call::socket), 2);  // one request and one reply socket
}

}  // namespace

// SPDX-License-Identifier: MIT
// Every libzmq call that the library makes, forced to fail: each case checks
// the record that the failure leaves and that the next operation works again
// (after the closing WARN where the failure breaks the socket).
#include <zmq.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "fixture.h"
#include "request_reply_helpers.h"
#include "robustness/peers.h"
#include "vorzmq.h"

using namespace vorzmq_test;

namespace {

constexpr int ERROR = log4cxx::Level::ERROR_INT;
constexpr int WARN = log4cxx::Level::WARN_INT;
constexpr int TRACE = log4cxx::Level::TRACE_INT;

std::string text_of(int error)
{
    return zmq_strerror(error);
}

struct fault {
    zmq_call call;
    int error;
    int skip = 0;
    int option = -1;
};

std::string describe(const std::vector<std::string>& lines)
{
    return testing::PrintToString(lines);
}

// A record's text with "<url>" standing for the endpoint.
std::string with_url(std::string text, const std::string& url)
{
    if (const size_t at = text.find("<url>"); at != std::string::npos) {
        text.replace(at, 5, url);
    }
    return text;
}

// The problems logged after a recovery: the closing WARN where the failure
// broke the socket, none otherwise.
std::vector<std::string> closing_warning(bool breaks_socket, const std::string& warning)
{
    return breaks_socket ? std::vector<std::string>{"WARN " + warning} : std::vector<std::string>{};
}

// Long enough for a peer to answer on a loaded machine.
constexpr int32_t receive_timeout_ms = 10000;
const std::string timeout_option_failure =
    "Failed to Set Socket Timeout (" + std::to_string(receive_timeout_ms) + ") -- " + text_of(EINVAL);

std::string unexpected_receive(const char* what, int error)
{
    return std::string(what) + text_of(error) + " -- Closing Socket on Unexpected Error";
}

const char topic_failure[] = "Failed to Receive Message Topic -- ZMQ Error: ";
const char data_failure[] = "Failed to Receive Message -- ZMQ Error: ";

void arm(const std::vector<fault>& faults)
{
    for (const fault& planned : faults) {
        arm_fault(planned.call, planned.error, 1, planned.skip, planned.option);
    }
}

// ------------------------------------------------------------------ context

TEST(context_faults, failed_context_creation_is_logged_and_the_next_context_works)
{
    fault_scope scope;
    captured_log().clear();
    arm_fault(zmq_call::ctx_new, EMFILE);
    {
        vorzmq_context broken;
        EXPECT_EQ(broken.context, nullptr);
        EXPECT_TRUE(has_record(ERROR, "ZMQ Context Init Failed -- " + text_of(EMFILE))) << describe(all_messages());
        try {
            vorzmq_request_socket request(broken, "tcp://127.0.0.1:1");
            ADD_FAILURE() << "a socket was made from a context without handle";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "ZMQ Context is NULL");
        }
    }
    // A destroyed context without handle calls nothing.
    EXPECT_EQ(library_calls(zmq_call::ctx_destroy), 0);

    captured_log().clear();
    temp_home home;
    const std::string url = home.queue_url(unique_name("ctx"));
    answering_server server(url);
    vorzmq_context context;
    ASSERT_NE(context.context, nullptr);
    vorzmq_request_socket request(context, url);
    request.send("after", true);
    EXPECT_TRUE(server.has_seen("after"));
    EXPECT_TRUE(problems().empty()) << describe(problems());
}

// A failed destruction is ignored; one that a signal interrupted is tried
// again, so that messages still in their linger go out.
TEST(context_faults, failed_context_destruction_is_ignored_and_an_interrupted_one_retried)
{
    for (const auto& [error, calls] : {std::pair{EFAULT, 1}, std::pair{EINTR, 2}}) {
        SCOPED_TRACE(text_of(error));
        fault_scope scope;
        captured_log().clear();
        {
            vorzmq_context context;
            arm_fault(zmq_call::ctx_destroy, error);
        }
        EXPECT_EQ(injected_failures(), 1);
        EXPECT_EQ(library_calls(zmq_call::ctx_destroy), calls);
        EXPECT_EQ(all_messages(), (std::vector<std::string>{"DEBUG Initializing ZMQ Context",
                                                            "DEBUG Destroying Existing ZMQ Context"}));
    }
    vorzmq_context next;
    EXPECT_NE(next.context, nullptr);
}

// ------------------------------------------------------------------ request socket

enum class request_op { acknowledged_send, send_then_receive };

struct request_case {
    const char* name;
    std::vector<fault> faults;
    request_op op;
    int level;
    std::string record;  // "<url>" stands for the endpoint
    bool breaks_socket;
    std::vector<std::string> server_reply = {ok_reply()};
};

void PrintTo(const request_case& c, std::ostream* out)
{
    *out << c.name;
}

class request_faults : public library_test, public testing::WithParamInterface<request_case> {};

TEST_P(request_faults, failure_is_logged_and_the_next_request_succeeds)
{
    const request_case& c = GetParam();
    const std::string url = queue_url("req");
    answering_server server(url, c.server_reply);
    vorzmq_context context;
    {
        vorzmq_request_socket request(context, url);
        request.set_receive_timeout_ms(receive_timeout_ms);
        arm(c.faults);
        if (c.op == request_op::acknowledged_send) {
            request.send("first", true);
        } else {
            request.send("first", false);
            char buffer[16];
            EXPECT_EQ(request.receive(buffer, sizeof buffer), 0u);
        }
        EXPECT_TRUE(has_record(c.level, with_url(c.record, url))) << describe(all_messages());

        captured_log().clear();
        request.send("second", true);
        EXPECT_TRUE(server.has_seen("second")) << describe(server.requests());
        EXPECT_EQ(problems(), closing_warning(c.breaks_socket, "Closing Request Socket: " + url));
    }
    EXPECT_EQ(injected_failures(), static_cast<int>(c.faults.size()));
}

const request_case request_cases[] = {
    {"socket", {{zmq_call::socket, ENOMEM}}, request_op::acknowledged_send, ERROR,
     "ZMQ Socket Init Failed -- " + text_of(ENOMEM), false},
    {"receive_timeout_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_RCVTIMEO}}, request_op::acknowledged_send, WARN,
     timeout_option_failure, false},
    {"linger_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_LINGER}}, request_op::acknowledged_send, WARN,
     "Failed to Set Socket Linger (1000) -- " + text_of(EINVAL), false},
    {"connect", {{zmq_call::connect, EPROTONOSUPPORT}}, request_op::acknowledged_send, ERROR,
     "Failed to Connect to ZMQ URL: <url> -- " + text_of(EPROTONOSUPPORT) + " -- Closing Socket", false},
    {"send", {{zmq_call::send, EFAULT}}, request_op::acknowledged_send, ERROR,
     "Failed to Send Message: first -- " + text_of(EFAULT), true},
    {"reply_receive", {{zmq_call::msg_recv, EFAULT}}, request_op::acknowledged_send, ERROR,
     "Failed to Receive Message Reply -- " + text_of(EFAULT), true},
    {"reply_extra_frame_receive", {{zmq_call::msg_recv, EFAULT, 1}}, request_op::acknowledged_send, ERROR,
     "Failed to Receive Message Reply -- " + text_of(EFAULT), true, {ok_reply(), "tail"}},
    {"close_on_reset", {{zmq_call::msg_recv, ETERM}, {zmq_call::close, EBADF}}, request_op::acknowledged_send, ERROR,
     "Failed to Receive Message Reply -- " + text_of(ETERM), true},
    {"host_receive", {{zmq_call::recv, EFAULT}}, request_op::send_then_receive, ERROR,
     "Failed to Receive Reply -- " + text_of(EFAULT), true},
    {"host_receive_more_flag", {{zmq_call::getsockopt, EFAULT, 0, ZMQ_RCVMORE}}, request_op::send_then_receive, ERROR,
     "Failed to Receive Reply -- " + text_of(EFAULT), true},
};

INSTANTIATE_TEST_SUITE_P(every_call, request_faults, testing::ValuesIn(request_cases), case_name);

// ------------------------------------------------------------------ reply socket

// One raw REQ client per exchange: its request waits in its queue until the
// reply socket binds.
struct client_exchange {
    client_exchange(const std::string& url, std::vector<std::string> request) : client(ZMQ_REQ)
    {
        client.connect(url);
        client.send_frames(request);
    }
    std::optional<std::vector<std::string>> answer() { return client.receive_frames(receive_timeout_ms); }
    raw_socket client;
};

struct reply_case {
    const char* name;
    std::vector<fault> faults;
    // The host's side of the faulted exchange.
    std::function<void(vorzmq_reply_socket&, std::stringstream&)> serve;
    int level;
    std::string record;  // "<url>" stands for the endpoint
    // Completes the faulted exchange where the host can still answer it.
    std::function<void(vorzmq_reply_socket&)> finish;
    std::optional<std::string> client_gets;
    bool breaks_socket;
    std::vector<std::string> request = {"first"};
};

void PrintTo(const reply_case& c, std::ostream* out)
{
    *out << c.name;
}

class reply_faults : public library_test, public testing::WithParamInterface<reply_case> {};

TEST_P(reply_faults, failure_is_logged_and_the_next_exchange_succeeds)
{
    const reply_case& c = GetParam();
    const std::string url = queue_url("rep");
    vorzmq_context context;
    {
        vorzmq_reply_socket reply(context, url);
        reply.set_receive_timeout_ms(receive_timeout_ms);
        {
            client_exchange first(url, c.request);
            arm(c.faults);
            std::stringstream stream;
            c.serve(reply, stream);
            EXPECT_TRUE(has_record(c.level, with_url(c.record, url))) << describe(all_messages());
            if (c.finish) {
                c.finish(reply);
            }
            if (c.client_gets) {
                auto answer = first.answer();
                ASSERT_TRUE(answer.has_value());
                EXPECT_EQ(*answer, std::vector<std::string>{*c.client_gets});
            }
        }

        captured_log().clear();
        // Any reset happens before the next client connects: a request sent
        // to a socket that is then reset is lost, as with any REP peer.
        reply.init_if_necessary();
        client_exchange second(url, {"second"});
        std::stringstream stream;
        EXPECT_TRUE(reply.receive(stream, true));
        EXPECT_EQ(stream.str(), "second");
        EXPECT_EQ(second.answer(), std::optional<std::vector<std::string>>({ok_reply()}));
        EXPECT_EQ(problems(), closing_warning(c.breaks_socket, "Closing Socket"));
    }
    EXPECT_EQ(injected_failures(), static_cast<int>(c.faults.size()));
}

void receive_expecting_failure(vorzmq_reply_socket& reply, std::stringstream& stream)
{
    EXPECT_FALSE(reply.receive(stream, true));
    EXPECT_EQ(stream.str(), "");
}

void receive_expecting_first(vorzmq_reply_socket& reply, std::stringstream& stream)
{
    EXPECT_TRUE(reply.receive(stream, true));
    EXPECT_EQ(stream.str(), "first");
}

const reply_case reply_cases[] = {
    {"socket", {{zmq_call::socket, ENOMEM}}, receive_expecting_failure, ERROR,
     "ZMQ Socket Init Failed -- " + text_of(ENOMEM), nullptr, std::nullopt, false},
    {"receive_timeout_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_RCVTIMEO}}, receive_expecting_first, WARN,
     timeout_option_failure, nullptr, ok_reply(), false},
    {"linger_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_LINGER}}, receive_expecting_first, WARN,
     "Failed to Set Socket Linger (1000) -- " + text_of(EINVAL), nullptr, ok_reply(), false},
    // Pauses the host 5 s, as a failed bind must.
    {"bind", {{zmq_call::bind, EADDRINUSE}}, receive_expecting_failure, ERROR,
     "Failed to Bind to ZMQ URL: <url> -- " + text_of(EADDRINUSE) + " -- Closing Socket", nullptr, std::nullopt, false},
    {"request_receive", {{zmq_call::msg_recv, EFAULT}}, receive_expecting_failure, ERROR,
     unexpected_receive(data_failure, EFAULT), nullptr, std::nullopt, true},
    {"request_extra_frame_receive", {{zmq_call::msg_recv, EFAULT, 1}}, receive_expecting_failure, ERROR,
     unexpected_receive(data_failure, EFAULT), nullptr, std::nullopt, true, {"first", "second frame"}},
    {"close_on_reset", {{zmq_call::msg_recv, ETERM}, {zmq_call::close, EBADF}}, receive_expecting_failure, ERROR,
     unexpected_receive(data_failure, ETERM), nullptr, std::nullopt, true},
    // The request still counts as received; the host can send the OK again.
    {"ok_reply_send", {{zmq_call::send, EFAULT}}, receive_expecting_first, ERROR,
     "Failed to Send OK Response -- " + text_of(EFAULT), [](vorzmq_reply_socket& reply) { reply.send_ok(); }, ok_reply(),
     false},
    // A signal: the reply is still owed, and the same socket sends it.
    {"ok_reply_send_interrupted", {{zmq_call::send, EINTR}}, receive_expecting_first, TRACE,
     "Send Interrupted by a Signal -- Socket Kept", [](vorzmq_reply_socket& reply) { reply.send_ok(); }, ok_reply(),
     false},
    {"string_response_send", {{zmq_call::send, EFAULT}},
     [](vorzmq_reply_socket& reply, std::stringstream& stream) {
         EXPECT_TRUE(reply.receive(stream, false));
         reply.send(std::string("answer"));
     },
     ERROR, "Failed to Send Response -- " + text_of(EFAULT),
     [](vorzmq_reply_socket& reply) { reply.send(std::string("answer")); }, "answer", false},
    {"byte_response_send", {{zmq_call::send, EFAULT}},
     [](vorzmq_reply_socket& reply, std::stringstream& stream) {
         EXPECT_TRUE(reply.receive(stream, false));
         reply.send("bytes", 5);
     },
     ERROR, "Failed to Send Data -- " + text_of(EFAULT), nullptr, std::nullopt, true},
};

INSTANTIATE_TEST_SUITE_P(every_call, reply_faults, testing::ValuesIn(reply_cases), case_name);

// ------------------------------------------------------------------ publish socket

struct publish_case {
    const char* name;
    std::vector<fault> faults;
    int level;
    std::string record;  // "<url>" stands for the endpoint
    bool breaks_socket;
};

void PrintTo(const publish_case& c, std::ostream* out)
{
    *out << c.name;
}

class publish_faults : public library_test, public testing::WithParamInterface<publish_case> {};

// Publishes `data` until the raw subscriber hears it; every message heard on
// the way must be a whole topic frame and data frame.
void publish_until_heard(vorzmq_pub_socket& publisher, raw_socket& subscriber, const std::string& data)
{
    const std::vector<std::string> wanted{"news$", std::string(data.c_str(), data.size() + 1)};
    const bool heard = wait_until([&] {
        publisher.send("news", data);
        while (auto message = subscriber.receive_frames(10)) {
            EXPECT_EQ(message->size(), 2u) << describe(*message);
            if (*message == wanted) {
                return true;
            }
        }
        return false;
    });
    EXPECT_TRUE(heard) << data << " never arrived";
}

TEST_P(publish_faults, failure_is_logged_and_the_next_message_arrives_whole)
{
    const publish_case& c = GetParam();
    const std::string url = queue_url("pub");
    raw_socket subscriber(ZMQ_SUB);
    subscriber.subscribe("");
    subscriber.connect(url);
    vorzmq_context context;
    {
        vorzmq_pub_socket publisher(context, url);
        arm(c.faults);
        publisher.send("news", "first");
        EXPECT_TRUE(has_record(c.level, with_url(c.record, url))) << describe(all_messages());

        captured_log().clear();
        publish_until_heard(publisher, subscriber, "second");
        EXPECT_EQ(problems(), closing_warning(c.breaks_socket, "Closing Socket: " + url));
    }
    EXPECT_EQ(injected_failures(), static_cast<int>(c.faults.size()));
}

std::string unexpected_topic_failure(int error)
{
    return "Failed to Publish Message Topic: news$ -- ZMQ Error: " + text_of(error) +
           " -- Closing Socket on Unexpected Error";
}

const publish_case publish_cases[] = {
    // Without a socket nothing is sent: the failed set-up is the one record.
    {"socket", {{zmq_call::socket, ENOMEM}}, ERROR,
     "ZMQ Socket Init Failed -- " + text_of(ENOMEM) + " -- <url>", false},
    {"high_water_mark_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_SNDHWM}}, WARN,
     "Failed to Set Socket High Water Mark (16) -- " + text_of(EINVAL), false},
    {"linger_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_LINGER}}, WARN,
     "Failed to Set Socket Linger (1000) -- " + text_of(EINVAL), false},
    {"bind", {{zmq_call::bind, EADDRINUSE}}, ERROR,
     "Failed to Bind ZMQ URL: <url> -- " + text_of(EADDRINUSE) + " -- Closing Socket", false},
    {"no_drop_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_XPUB_NODROP}}, WARN,
     "Failed to Set Socket No Drop (1) -- " + text_of(EINVAL), false},
    // Full before and after the credits were taken in: sent with drops allowed.
    {"topic_frame_queue_full", {{zmq_call::send, EAGAIN}, {zmq_call::send, EAGAIN}}, WARN,
     "Failed to Publish Message Topic: news$ -- ZMQ Error: " + text_of(EAGAIN), false},
    {"topic_frame_send", {{zmq_call::send, ETERM}}, ERROR,
     unexpected_topic_failure(ETERM), true},
    // The topic frame already left; the reset drops the half-sent message so
    // that the next one cannot be shifted.
    {"data_frame_send", {{zmq_call::send, ETERM, 1}}, ERROR,
     unexpected_receive("Failed to Publish Message: first -- ZMQ Error: ", ETERM), true},
    {"close_on_reset", {{zmq_call::send, EFAULT}, {zmq_call::close, EBADF}}, ERROR,
     unexpected_topic_failure(EFAULT), true},
};

INSTANTIATE_TEST_SUITE_P(every_call, publish_faults, testing::ValuesIn(publish_cases), case_name);

class publish_destruction_faults : public library_test {};

TEST_F(publish_destruction_faults, failed_close_still_frees_the_endpoint)
{
    const std::string url = free_tcp_url();
    raw_socket subscriber(ZMQ_SUB);
    subscriber.subscribe("");
    subscriber.connect(url);
    vorzmq_context context;
    {
        vorzmq_pub_socket publisher(context, url);
        publish_until_heard(publisher, subscriber, "before");
        arm_fault(zmq_call::close, EBADF);
    }
    EXPECT_EQ(injected_failures(), 1);
    EXPECT_TRUE(problems().empty()) << describe(problems());
    // The destructor does not unbind: libzmq releases the port when it
    // finishes the close on its own thread; it must do so, and soon. A probe
    // on its own context gives the port back synchronously when it terminates.
    EXPECT_TRUE(wait_until(
        [&] {
            try {
                raw_socket probe(ZMQ_PUB);
                probe.bind(url);
                return true;
            } catch (const std::runtime_error&) {
                return false;
            }
        },
        std::chrono::milliseconds(5000)));
    vorzmq_pub_socket again(context, url);
    publish_until_heard(again, subscriber, "after");
    EXPECT_TRUE(problems().empty()) << describe(problems());
}

// ------------------------------------------------------------------ subscribe socket

enum class sub_op { stream, buffer };

struct subscribe_case {
    const char* name;
    std::vector<fault> faults;
    sub_op op;
    // Each must be logged; "<url>" stands for the endpoint.
    std::vector<std::pair<int, std::string>> records;
    bool breaks_socket;
};

void PrintTo(const subscribe_case& c, std::ostream* out)
{
    *out << c.name;
}

class subscribe_faults : public library_test, public testing::WithParamInterface<subscribe_case> {};

std::string receive_once(vorzmq_sub_socket& subscriber, sub_op op, bool& received)
{
    if (op == sub_op::stream) {
        std::stringstream stream;
        received = subscriber.receive(stream);
        return stream.str();
    }
    char buffer[64] = {};
    received = subscriber.receive(buffer, sizeof buffer - 1);
    return buffer;
}

TEST_P(subscribe_faults, failure_is_logged_and_the_filters_hold_after_recovery)
{
    const subscribe_case& c = GetParam();
    const std::string url = queue_url("sub");
    looping_publisher publisher(url, {{"other$", "noise-"}, {"news$", "story-"}});
    vorzmq_context context;
    {
        vorzmq_sub_socket subscriber(context, url);
        subscriber.set_receive_timeout_ms(receive_timeout_ms);
        arm(c.faults);
        subscriber.add_topic("news");
        bool received = false;
        receive_once(subscriber, c.op, received);
        for (const auto& [level, message] : c.records) {
            EXPECT_TRUE(has_record(level, with_url(message, url))) << describe(all_messages());
        }

        captured_log().clear();
        // Several messages in a row, so that a lost filter would show.
        for (int i = 0; i < 4; ++i) {
            const std::string data = receive_once(subscriber, c.op, received);
            EXPECT_TRUE(received);
            EXPECT_EQ(data.rfind("story-", 0), 0u) << data;
        }
        EXPECT_EQ(problems(), closing_warning(c.breaks_socket, "Closing Socket"));
    }
    EXPECT_EQ(injected_failures(), static_cast<int>(c.faults.size()));
}

std::string filter_failure(int error)
{
    return "Failed to Set Socket Message Filter -- " + text_of(error) + " -- Closing Socket";
}

const subscribe_case subscribe_cases[] = {
    // The filter is kept although no socket could take it; the next socket gets it.
    {"socket", {{zmq_call::socket, ENOMEM}}, sub_op::stream,
     {{ERROR, "ZMQ Socket Init Failed -- " + text_of(ENOMEM)}}, false},
    {"receive_timeout_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_RCVTIMEO}}, sub_op::stream,
     {{WARN, timeout_option_failure}}, false},
    {"linger_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_LINGER}}, sub_op::stream,
     {{WARN, "Failed to Set Socket Linger (1000) -- " + text_of(EINVAL)}}, false},
    {"subscribe_option", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_SUBSCRIBE}}, sub_op::stream,
     {{ERROR, filter_failure(EINVAL)}}, false},
    {"disconnect", {{zmq_call::setsockopt, EINVAL, 0, ZMQ_SUBSCRIBE}, {zmq_call::disconnect, ENOENT}}, sub_op::stream,
     {{ERROR, filter_failure(EINVAL)}}, false},
    {"connect", {{zmq_call::connect, EPROTONOSUPPORT}}, sub_op::buffer,
     {{ERROR, "Failed to Connect to ZMQ URL: <url> -- " + text_of(EPROTONOSUPPORT) + " -- Closing Socket"}}, false},
    {"topic_frame_receive", {{zmq_call::msg_recv, EFAULT}}, sub_op::stream,
     {{ERROR, unexpected_receive(topic_failure, EFAULT)}}, true},
    {"data_frame_receive", {{zmq_call::msg_recv, EFAULT, 1}}, sub_op::stream,
     {{ERROR, unexpected_receive(data_failure, EFAULT)}}, true},
    // A time-out between the frames leaves the data frame queued; the next
    // receive must skip it instead of taking it for a topic frame.
    {"data_frame_time_out", {{zmq_call::msg_recv, EAGAIN, 1}}, sub_op::stream,
     {{TRACE, "No Messages Received Before Timeout: " + std::to_string(receive_timeout_ms) + "ms"}}, false},
    {"close_on_reset", {{zmq_call::msg_recv, ETERM}, {zmq_call::close, EBADF}}, sub_op::buffer,
     {{ERROR, unexpected_receive(topic_failure, ETERM)}}, true},
    {"buffer_data_frame_receive", {{zmq_call::msg_recv, EFAULT, 1}}, sub_op::buffer,
     {{ERROR, unexpected_receive(data_failure, EFAULT)}}, true},
};

INSTANTIATE_TEST_SUITE_P(every_call, subscribe_faults, testing::ValuesIn(subscribe_cases), case_name);

// ------------------------------------------------------------------ settings of a live socket

// A setter called after the socket exists reaches that socket at once: the
// refusal injected here shows as the creation's WARN, from the setter.
struct live_setting_case {
    const char* setter;
    int option;
    const char* warning;  // without the error text
    std::function<void(vorzmq_context&, const std::string&, int)> create_then_set;
};

template <class Socket>
std::function<void(vorzmq_context&, const std::string&, int)> create_then(void (Socket::*setter)(int32_t),
                                                                           int32_t value)
{
    return [setter, value](vorzmq_context& context, const std::string& url, int refused_option) {
        Socket socket(context, url);
        socket.init_if_necessary();
        captured_log().clear();
        arm_fault(zmq_call::setsockopt, EINVAL, 1, 0, refused_option);
        (socket.*setter)(value);
    };
}

TEST(live_settings, a_setting_made_after_creation_applies_to_the_live_socket)
{
    const live_setting_case cases[] = {
        {"void vorzmq_request_socket::set_receive_timeout_ms(int32_t)", ZMQ_RCVTIMEO, "Timeout (250)",
         create_then(&vorzmq_request_socket::set_receive_timeout_ms, 250)},
        {"void vorzmq_reply_socket::set_receive_timeout_ms(int32_t)", ZMQ_RCVTIMEO, "Timeout (250)",
         create_then(&vorzmq_reply_socket::set_receive_timeout_ms, 250)},
        {"void vorzmq_reply_socket::set_linger_ms(int32_t)", ZMQ_LINGER, "Linger (0)",
         create_then(&vorzmq_reply_socket::set_linger_ms, 0)},
        {"void vorzmq_pub_socket::set_linger_ms(int32_t)", ZMQ_LINGER, "Linger (0)",
         create_then(&vorzmq_pub_socket::set_linger_ms, 0)},
        {"void vorzmq_pub_socket::set_high_water_mark(int32_t)", ZMQ_SNDHWM, "High Water Mark (64)",
         create_then(&vorzmq_pub_socket::set_high_water_mark, 64)},
        {"void vorzmq_sub_socket::set_receive_timeout_ms(int32_t)", ZMQ_RCVTIMEO, "Timeout (250)",
         create_then(&vorzmq_sub_socket::set_receive_timeout_ms, 250)},
        {"void vorzmq_sub_socket::set_linger_ms(int32_t)", ZMQ_LINGER, "Linger (0)",
         create_then(&vorzmq_sub_socket::set_linger_ms, 0)},
    };
    temp_home home;
    vorzmq_context context;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setter);
        fault_scope scope;
        c.create_then_set(context, home.queue_url(unique_name("live")), c.option);
        const std::string warning = std::string("Failed to Set Socket ") + c.warning + " -- " + text_of(EINVAL);
        EXPECT_EQ(problems(), std::vector<std::string>{"WARN " + warning});
        expect_record_at(WARN, warning, c.setter);
    }

    // A subscriber that would wait for ever stops at the new time-out.
    vorzmq_sub_socket subscriber(context, home.queue_url(unique_name("quiet")));
    subscriber.add_topic("t");
    subscriber.set_receive_timeout_ms(100);
    std::stringstream data;
    EXPECT_FALSE(subscriber.receive(data));
    EXPECT_EQ(vorzmq_last_result(), vorzmq_result::no_reply);
}

// ------------------------------------------------------------------ coverage of the call list

TEST(fault_coverage, every_libzmq_call_of_the_library_is_failed_by_some_case)
{
    // No library call unbinds any more (the publish socket closes without
    // one); fchmodat, no libzmq call, is failed by the readiness tests.
    std::set<zmq_call> covered{zmq_call::ctx_new, zmq_call::ctx_destroy, zmq_call::unbind, zmq_call::close,
                               zmq_call::fchmodat};
    auto add = [&](const auto& cases) {
        for (const auto& c : cases) {
            for (const fault& planned : c.faults) {
                covered.insert(planned.call);
            }
        }
    };
    add(request_cases);
    add(reply_cases);
    add(publish_cases);
    add(subscribe_cases);
    for (int call = 0; call < static_cast<int>(zmq_call::count_); ++call) {
        EXPECT_TRUE(covered.count(static_cast<zmq_call>(call))) << name_of(static_cast<zmq_call>(call));
    }
}

}  // namespace

// SPDX-License-Identifier: MIT
// What each operation leaves in this thread's outcome, the outcome texts, a
// bound socket's real endpoint and the topic handed over by a subscribe
// receive.
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "vorzmq.h"

using namespace vorzmq_test;
using namespace std::chrono_literals;

namespace {

class outcome_test : public library_test {};

const std::string ok_reply("ok\0", 3);

// A raw REP peer that answers the next request with `reply`.
std::thread answer_once(raw_socket& server, const std::string& reply)
{
    return std::thread([&server, reply] {
        if (server.receive_frames().has_value()) {
            server.send_frames({reply});
        }
    });
}

struct outcome_case {
    const char* name;
    // Runs the operation under test; `url` is a fresh queue endpoint.
    std::function<void(vorzmq_context&, const std::string& url)> operation;
    vorzmq_result result;
    int error;
};

const std::vector<outcome_case>& outcome_cases()
{
    static const std::vector<outcome_case> cases{
        {"request acknowledged",
         [](vorzmq_context& context, const std::string& url) {
             raw_socket server(ZMQ_REP);
             server.bind(url);
             std::thread peer = answer_once(server, ok_reply);
             vorzmq_request_socket(context, url).send("hello", true);
             peer.join();
         },
         vorzmq_result::ok, 0},
        {"request without a server times out after the timeout set",
         [](vorzmq_context& context, const std::string& url) {
             vorzmq_request_socket request(context, url);
             // Longer than the default 1000 ms: only a lower bound holds on a
             // loaded machine.
             request.set_receive_timeout_ms(1500);
             const auto start = std::chrono::steady_clock::now();
             request.send("hello", true);
             EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms);
         },
         vorzmq_result::no_reply, EAGAIN},
        {"request answered with something else",
         [](vorzmq_context& context, const std::string& url) {
             raw_socket server(ZMQ_REP);
             server.bind(url);
             std::thread peer = answer_once(server, "no");
             vorzmq_request_socket(context, url).send("hello", true);
             peer.join();
         },
         vorzmq_result::unexpected_reply, 0},
        {"request to an unusable endpoint",
         [](vorzmq_context& context, const std::string&) { vorzmq_request_socket(context, "foo://bar").send("x", true); },
         vorzmq_result::no_socket, EPROTONOSUPPORT},
        {"request whose send fails",
         [](vorzmq_context& context, const std::string& url) {
             arm_fault(zmq_call::send, EHOSTUNREACH);
             vorzmq_request_socket(context, url).send("hello", true);
         },
         vorzmq_result::not_sent, EHOSTUNREACH},
        {"request sent without waiting is ok once sent",
         [](vorzmq_context& context, const std::string& url) { vorzmq_request_socket(context, url).send("x", false); },
         vorzmq_result::ok, 0},
        {"reply receive after a send without waiting times out",
         [](vorzmq_context& context, const std::string& url) {
             vorzmq_request_socket request(context, url);
             request.set_receive_timeout_ms(50);
             request.send("x", false);
             char reply[8];
             EXPECT_EQ(request.receive(reply, sizeof reply), 0u);
         },
         vorzmq_result::no_reply, EAGAIN},
        {"re-broadcast of data that is not JSON",
         [](vorzmq_context& context, const std::string& url) {
             vorzmq_rebrdcst_socket(context, url).rebrdcst("alarm", "{\"level\":");
         },
         vorzmq_result::invalid_data, 0},
        {"re-broadcast acknowledged",
         [](vorzmq_context& context, const std::string& url) {
             raw_socket server(ZMQ_REP);
             server.bind(url);
             std::thread peer = answer_once(server, ok_reply);
             vorzmq_rebrdcst_socket(context, url).rebrdcst("alarm", "3");
             peer.join();
         },
         vorzmq_result::ok, 0},
        {"publication queued",
         [](vorzmq_context& context, const std::string& url) { vorzmq_pub_socket(context, url).send("t", "d"); },
         vorzmq_result::ok, 0},
        {"publication on a full queue",
         [](vorzmq_context& context, const std::string& url) {
             vorzmq_pub_socket pub(context, url);
             pub.init_if_necessary();
             arm_fault(zmq_call::send, EAGAIN, 2);  // still full once credits are taken in
             pub.send("t", "d");
         },
         vorzmq_result::dropped, EAGAIN},
        {"publication that fails otherwise",
         [](vorzmq_context& context, const std::string& url) {
             vorzmq_pub_socket pub(context, url);
             pub.init_if_necessary();
             arm_fault(zmq_call::send, ENOTSUP, 1, 1);  // the data frame
             pub.send("t", "d");
         },
         vorzmq_result::not_sent, ENOTSUP},
        {"publish bind without a port",
         [](vorzmq_context& context, const std::string&) { vorzmq_pub_socket(context, "tcp://127.0.0.1").send("t", "d"); },
         vorzmq_result::no_socket, EINVAL},
        {"subscribe to an unusable endpoint",
         [](vorzmq_context& context, const std::string&) {
             vorzmq_sub_socket sub(context, "foo://bar");
             std::stringstream data;
             EXPECT_FALSE(sub.receive(data));
         },
         vorzmq_result::no_socket, EPROTONOSUPPORT},
        {"subscribe receive that finds nothing",
         [](vorzmq_context& context, const std::string& url) {
             vorzmq_sub_socket sub(context, url);
             sub.set_receive_timeout_ms(20);
             std::stringstream data;
             EXPECT_FALSE(sub.receive(data));
         },
         vorzmq_result::no_reply, EAGAIN},
        {"reply receive that finds nothing",
         [](vorzmq_context& context, const std::string& url) {
             vorzmq_reply_socket reply(context, url);
             reply.set_receive_timeout_ms(20);
             std::stringstream request;
             EXPECT_FALSE(reply.receive(request, true));
         },
         vorzmq_result::no_reply, EAGAIN},
    };
    return cases;
}

// Leaves an outcome that differs from `expected`, so that an operation that
// set nothing cannot pass.
void set_other_outcome(vorzmq_context& context, vorzmq_result expected)
{
    if (expected == vorzmq_result::no_socket) {
        vorzmq_rebrdcst_socket(context, "unused").rebrdcst("t", "not json");
    } else {
        vorzmq_sub_socket(context, "foo://bar").add_topic("t");
    }
    ASSERT_NE(vorzmq_last_result(), expected);
}

TEST_F(outcome_test, each_operation_reports_its_outcome)
{
    for (const outcome_case& row : outcome_cases()) {
        SCOPED_TRACE(row.name);
        reset_faults();
        vorzmq_context context;
        set_other_outcome(context, row.result);
        row.operation(context, queue_url("outcome"));
        EXPECT_EQ(vorzmq_last_result(), row.result) << vorzmq_result_text(vorzmq_last_result());
        EXPECT_EQ(vorzmq_last_error(), row.error) << zmq_strerror(vorzmq_last_error());
    }
}

TEST_F(outcome_test, each_thread_has_its_own_outcome)
{
    vorzmq_context context;
    vorzmq_pub_socket(context, queue_url("mine")).send("t", "d");
    std::thread([&] {
        vorzmq_sub_socket(context, "foo://bar").add_topic("t");
        EXPECT_EQ(vorzmq_last_result(), vorzmq_result::no_socket);
    }).join();
    EXPECT_EQ(vorzmq_last_result(), vorzmq_result::ok);
    EXPECT_EQ(vorzmq_last_error(), 0);
}

TEST(outcome_text, every_result_has_a_short_lower_case_text)
{
    const std::vector<std::pair<vorzmq_result, std::string>> texts{
        {vorzmq_result::ok, "ok"},
        {vorzmq_result::no_socket, "no socket"},
        {vorzmq_result::not_sent, "not sent"},
        {vorzmq_result::no_reply, "no reply"},
        {vorzmq_result::receive_failed, "receive failed"},
        {vorzmq_result::unexpected_reply, "unexpected reply"},
        {vorzmq_result::invalid_data, "invalid data"},
        {vorzmq_result::dropped, "dropped"},
        {vorzmq_result::truncated, "truncated"},
        {vorzmq_result::refused, "refused by the server"},
        {static_cast<vorzmq_result>(-1), "unknown result"},
        {static_cast<vorzmq_result>(1000), "unknown result"},
    };
    for (const auto& [result, text] : texts) {
        EXPECT_EQ(vorzmq_result_text(result), text);
    }
}

TEST_F(outcome_test, bound_sockets_tell_their_real_endpoint)
{
    vorzmq_context context;
    vorzmq_reply_socket reply(context, "tcp://127.0.0.1:*");
    vorzmq_pub_socket pub(context, "tcp://127.0.0.1:*");
    EXPECT_EQ(reply.last_endpoint(), "");
    EXPECT_EQ(pub.last_endpoint(), "");
    reply.init_if_necessary();
    pub.init_if_necessary();
    // "tcp://127.0.0.1:" and a port that is a number, not the wildcard.
    const auto bound_port = [](const std::string& endpoint) {
        const std::string host = "tcp://127.0.0.1:";
        const std::string port = endpoint.substr(std::min(host.size(), endpoint.size()));
        return endpoint.compare(0, host.size(), host) == 0 && !port.empty() && port[0] != '0' &&
               port.find_first_not_of("0123456789") == std::string::npos;
    };
    EXPECT_TRUE(bound_port(reply.last_endpoint())) << reply.last_endpoint();
    EXPECT_TRUE(bound_port(pub.last_endpoint())) << pub.last_endpoint();
    EXPECT_NE(reply.last_endpoint(), pub.last_endpoint());

    // The endpoint told is the one a requester reaches.
    raw_socket requester(ZMQ_REQ);
    requester.connect(reply.last_endpoint());
    requester.send_frames({"hello"});
    std::stringstream request;
    EXPECT_TRUE(wait_until([&] { return reply.receive(request, true); }));
    EXPECT_EQ(request.str(), "hello");

    const std::string ipc = queue_url("named");
    vorzmq_pub_socket named(context, ipc);
    named.init_if_necessary();
    EXPECT_EQ(named.last_endpoint(), ipc);
}

TEST_F(outcome_test, subscribe_receive_hands_over_the_topic_as_published)
{
    struct topic_case {
        std::string frame;  // the topic frame on the wire
        std::string topic;  // what the receive hands over
    };
    const std::vector<topic_case> cases{
        {"alarm$", "alarm"},     {"$", ""}, {"a$b$", "a$b"}, {"p$$", "p$"},
        {"bare", "bare"},        {std::string("z\0y$", 4), std::string("z\0y", 3)},
    };
    const std::string url = queue_url("topics");
    raw_socket publisher(ZMQ_PUB);
    publisher.bind(url);
    vorzmq_context context;
    vorzmq_sub_socket sub(context, url);
    sub.set_receive_timeout_ms(100);
    sub.add_topic("", false);
    // Joined once a probe gets through.
    std::stringstream probe;
    std::string probe_topic;
    ASSERT_TRUE(wait_until([&] {
        publisher.send_frames({"probe$", "p"});
        return sub.receive(probe, probe_topic);
    }));
    // The probes still on their way end with a marker; each receive waits
    // 100 ms, so a message is awaited with several.
    publisher.send_frames({"synced$", "s"});
    ASSERT_TRUE(wait_until([&] { return sub.receive(probe, probe_topic) && probe_topic == "synced"; }));
    for (const topic_case& row : cases) {
        publisher.send_frames({row.frame, std::string("data\0", 5)});
        std::stringstream data;
        std::string topic = "unchanged";
        ASSERT_TRUE(wait_until([&] { return sub.receive(data, topic); })) << row.topic;
        EXPECT_EQ(topic, row.topic);
        EXPECT_EQ(data.str(), "data");
        EXPECT_EQ(vorzmq_last_result(), vorzmq_result::ok);
    }
    std::stringstream data;
    std::string topic = "unchanged";
    EXPECT_FALSE(sub.receive(data, topic));
    EXPECT_EQ(topic, "unchanged");
}

}  // namespace

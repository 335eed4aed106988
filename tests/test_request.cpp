// The request socket against raw libzmq REP peers.
#include <zmq.h>

#include <thread>

#include "fixture.h"
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

}  // namespace

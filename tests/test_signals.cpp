// SPDX-License-Identifier: MIT
// Signals and shutdown: a receive interrupted by a signal (EINTR) ends as
// `interrupted` and keeps its socket with what it holds; one ended by the
// context shutting down (ETERM) ends with its record and leaves the object
// usable; destroying sockets and then the context never waits beyond
// the linger period, also with messages still queued.
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "fixture.h"
#include "robustness/peers.h"
#include "vorzmq.h"

using namespace vorzmq_test;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr int ERROR = log4cxx::Level::ERROR_INT;

std::string describe(const std::vector<std::string>& lines)
{
    return testing::PrintToString(lines);
}

void ignore_signal(int) {}

// Installs a handler that does nothing and, unlike the default action, lets
// the process live; without SA_RESTART a blocked poll returns EINTR.
class no_op_handler {
public:
    explicit no_op_handler(int signal_number) : number(signal_number)
    {
        struct sigaction action {};
        action.sa_handler = ignore_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(number, &action, &previous);
    }
    ~no_op_handler() { sigaction(number, &previous, nullptr); }

private:
    int number;
    struct sigaction previous {};
};

// Runs a blocking call on its own thread and interrupts it, once the thread
// is inside libzmq's receive, until the call returns.
class blocked_call {
public:
    explicit blocked_call(std::function<bool()> call)
    {
        thread = std::thread([this, call] {
            result = call();
            done = true;
        });
    }
    ~blocked_call()
    {
        if (thread.joinable()) {
            thread.join();
        }
    }

    // Waits until the library has entered a receive (the fault harness
    // counts each call on entry), then applies `interrupt` every few
    // milliseconds until the call has returned, at most `limit`.
    bool interrupt_until_done(const std::function<void(pthread_t)>& interrupt, zmq_call receive_call,
                              milliseconds limit = milliseconds(10000))
    {
        const bool entered = wait_until([&] { return library_calls(receive_call) > 0 || done; }, limit);
        if (!entered) {
            return false;
        }
        const bool returned = wait_until(
            [&] {
                if (!done) {
                    interrupt(thread.native_handle());
                }
                return done.load();
            },
            limit);
        if (returned) {
            thread.join();
        }
        return returned;
    }

    bool value() const { return result; }

private:
    std::atomic<bool> done{false};
    bool result = true;
    std::thread thread;
};

void send_signal(pthread_t target)
{
    pthread_kill(target, SIGUSR1);
}

// ------------------------------------------------------------------ EINTR

struct interrupted_case {
    const char* name;
    // Makes the object on `url`, blocks it in a receive that a signal ends,
    // then checks that the same socket still takes what comes next.
    std::function<void(vorzmq_context&, const std::string& url)> run;
};

void PrintTo(const interrupted_case& c, std::ostream* out)
{
    *out << c.name;
}

class interrupted_receive : public library_test, public testing::WithParamInterface<interrupted_case> {};

// Runs `receive` on its own thread, signalled until it returns; it must
// return false with `interrupted`.
void expect_interrupted(const std::function<bool()>& receive)
{
    vorzmq_result outcome = vorzmq_result::ok;
    blocked_call call([&] {
        const bool received = receive();
        outcome = vorzmq_last_result();
        return received;
    });
    ASSERT_TRUE(call.interrupt_until_done(send_signal, zmq_call::msg_recv)) << "the receive never returned";
    EXPECT_FALSE(call.value());
    EXPECT_EQ(outcome, vorzmq_result::interrupted);
}

// Over tcp too. A signal is no fault: no ERROR, no reset, nothing lost.
TEST_P(interrupted_receive, returns_interrupted_and_keeps_its_socket)
{
    no_op_handler handler(SIGUSR1);
    vorzmq_context context;
    for (const std::string& url : {queue_url("sig"), free_tcp_url()}) {
        SCOPED_TRACE(url);
        reset_faults();
        captured_log().clear();
        GetParam().run(context, url);
        EXPECT_EQ(problems(), std::vector<std::string>{}) << describe(all_messages());
        EXPECT_TRUE(has_record(log4cxx::Level::TRACE_INT, "Receive Interrupted by a Signal -- Socket Kept"));
    }
}

void interrupt_subscriber(vorzmq_context& context, const std::string& url, bool buffered)
{
    vorzmq_sub_socket subscriber(context, url);
    subscriber.add_topic("news");
    expect_interrupted([&] {
        char buffer[32];
        std::stringstream stream;
        return buffered ? subscriber.receive(buffer, sizeof buffer) : subscriber.receive(stream);
    });
    looping_publisher publisher(url, {{"other$", "noise-"}, {"news$", "story-"}});
    for (int i = 0; i < 4; ++i) {
        std::stringstream stream;
        EXPECT_TRUE(subscriber.receive(stream));
        EXPECT_EQ(stream.str().rfind("story-", 0), 0u) << stream.str();
    }
}

const interrupted_case interrupted_cases[] = {
    {"subscriber_stream_receive",
     [](vorzmq_context& context, const std::string& url) { interrupt_subscriber(context, url, false); }},
    {"subscriber_buffer_receive",
     [](vorzmq_context& context, const std::string& url) { interrupt_subscriber(context, url, true); }},
    // The request sent after the signal reaches the same socket: a reset
    // would have closed it with the request inside.
    {"reply_receive_without_time_limit",
     [](vorzmq_context& context, const std::string& url) {
         vorzmq_reply_socket reply(context, url);
         reply.set_receive_timeout_ms(-1);
         expect_interrupted([&] {
             std::stringstream stream;
             return reply.receive(stream, true);
         });
         raw_socket client(ZMQ_REQ);
         client.connect(url);
         client.send_frames({"after"});
         std::stringstream stream;
         EXPECT_TRUE(reply.receive(stream, true));
         EXPECT_EQ(stream.str(), "after");
         EXPECT_EQ(client.receive_frames(), std::optional<std::vector<std::string>>({ok_reply()}));
     }},
    // A reply that comes after the signal is the next receive's.
    {"request_receive_of_a_late_reply",
     [](vorzmq_context& context, const std::string& url) {
         raw_socket server(ZMQ_ROUTER);
         server.bind(url);
         vorzmq_request_socket request(context, url);
         request.set_receive_timeout_ms(-1);
         request.send("question", false);
         expect_interrupted([&] {
             std::string reply;
             return request.receive(reply);
         });
         auto asked = server.receive_frames();
         ASSERT_TRUE(asked.has_value());
         server.send_frames({asked->front(), "", "late"});
         std::string reply;
         EXPECT_TRUE(request.receive(reply));
         EXPECT_EQ(reply, "late");
     }},
};

INSTANTIATE_TEST_SUITE_P(signal, interrupted_receive, testing::ValuesIn(interrupted_cases), case_name);

// A request waiting for its OK reply waits on through signals and takes it.
TEST_F(interrupted_receive, request_waits_through_signals_for_its_reply)
{
    static std::atomic<int> signals{0};
    struct sigaction counting {};
    struct sigaction previous {};
    counting.sa_handler = [](int) { ++signals; };
    sigemptyset(&counting.sa_mask);
    sigaction(SIGUSR1, &counting, &previous);

    vorzmq_context context;
    const std::string url = free_tcp_url();
    raw_socket server(ZMQ_ROUTER);
    server.bind(url);
    vorzmq_request_socket request(context, url);
    request.set_receive_timeout_ms(60000);
    vorzmq_result outcome = vorzmq_result::no_socket;
    blocked_call call([&] {
        request.send("question", true);
        outcome = vorzmq_last_result();
        return true;
    });
    std::thread answer([&] {
        auto asked = server.receive_frames();
        ASSERT_TRUE(asked.has_value());
        const int before = signals;
        ASSERT_TRUE(wait_until([&] { return signals >= before + 3; }));
        server.send_frames({asked->front(), "", ok_reply()});
    });
    ASSERT_TRUE(call.interrupt_until_done(send_signal, zmq_call::msg_recv)) << "the send never returned";
    answer.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(outcome, vorzmq_result::ok);
    EXPECT_EQ(problems(), std::vector<std::string>{}) << describe(all_messages());
}

// A host with a 20 ms interval timer (SA_RESTART, as most set it) loses
// nothing: its loops go on after each `interrupted`.
TEST_F(interrupted_receive, a_host_timer_loses_no_request_and_no_message)
{
    struct sigaction ticking {};
    struct sigaction previous {};
    ticking.sa_handler = ignore_signal;
    ticking.sa_flags = SA_RESTART;
    sigemptyset(&ticking.sa_mask);
    sigaction(SIGALRM, &ticking, &previous);
    // The peers' threads leave the alarm to this one.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    const auto peer_thread = [&](std::function<void()> body) {
        return std::thread([&alarm, body] {
            pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
            body();
        });
    };
    itimerval every_20_ms{{0, 20000}, {0, 20000}};
    setitimer(ITIMER_REAL, &every_20_ms, nullptr);

    vorzmq_context context;
    const std::string requests_url = free_tcp_url();
    const std::string messages_url = free_tcp_url();
    vorzmq_reply_socket reply(context, requests_url);
    reply.set_receive_timeout_ms(-1);
    reply.init_if_necessary();
    std::atomic<int> acknowledged{0};
    std::thread client = peer_thread([&] {
        raw_socket socket(ZMQ_REQ);
        socket.connect(requests_url);
        for (int i = 0; i < 200; ++i) {
            socket.send_frames({"request-" + std::to_string(i)});
            if (socket.receive_frames() == std::optional<std::vector<std::string>>({ok_reply()})) {
                ++acknowledged;
            }
        }
    });
    std::vector<std::string> requests;
    while (requests.size() < 200) {
        std::string request;
        if (reply.receive(request, true)) {
            requests.push_back(request);
        } else {
            EXPECT_EQ(vorzmq_last_result(), vorzmq_result::interrupted);
        }
    }
    client.join();
    EXPECT_EQ(acknowledged, 200);

    vorzmq_sub_socket subscriber(context, messages_url);
    subscriber.add_topic("n");
    std::atomic<bool> heard{false};
    std::thread publisher = peer_thread([&] {
        raw_socket socket(ZMQ_PUB);
        socket.bind(messages_url);
        // Until the subscription has come through, then 500 that count.
        while (!heard) {
            socket.send_frames({"n$", std::string("probe", 6)});
            std::this_thread::sleep_for(milliseconds(5));
        }
        for (int i = 0; i < 500; ++i) {
            socket.send_frames({"n$", "message-" + std::to_string(i) + std::string(1, '\0')});
        }
        socket.send_frames({"n$", std::string("end", 4)});
    });
    std::vector<std::string> messages;
    for (;;) {
        std::string data;
        std::string topic;
        if (!subscriber.receive(data, topic)) {
            EXPECT_EQ(vorzmq_last_result(), vorzmq_result::interrupted);
            continue;
        }
        heard = true;
        if (data == "end") {
            break;
        }
        if (data != "probe") {
            messages.push_back(data);
        }
    }
    publisher.join();
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);

    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(requests[i], "request-" + std::to_string(i));
    }
    ASSERT_EQ(messages.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(messages[i], "message-" + std::to_string(i));
    }
    EXPECT_EQ(problems(), std::vector<std::string>{}) << describe(all_messages());
}

// ------------------------------------------------------------------ ETERM

const std::string terminated = zmq_strerror(ETERM);

class context_shutdown : public library_test {};

void shut_down(vorzmq_context& context)
{
    zmq_ctx_shutdown(context.context);
}

TEST_F(context_shutdown, ends_a_blocking_subscribe_receive_and_nothing_hangs_after)
{
    const std::string url = queue_url("term");
    auto context = std::make_unique<vorzmq_context>();
    auto subscriber = std::make_unique<vorzmq_sub_socket>(*context, url);
    subscriber->add_topic("news");
    blocked_call call([&] {
        std::stringstream stream;
        return subscriber->receive(stream);
    });
    ASSERT_TRUE(call.interrupt_until_done([&](pthread_t) { shut_down(*context); }, zmq_call::msg_recv));
    EXPECT_FALSE(call.value());
    EXPECT_TRUE(has_record(ERROR, "Failed to Receive Message Topic -- ZMQ Error: " + terminated +
                                      " -- Closing Socket on Unexpected Error"))
        << describe(all_messages());

    // The context is gone for good: the next receive resets, fails to make
    // a socket and says so, instead of blocking.
    captured_log().clear();
    std::stringstream stream;
    EXPECT_FALSE(subscriber->receive(stream));
    EXPECT_EQ(problems(), (std::vector<std::string>{"WARN Closing Socket",
                                                    "ERROR ZMQ Socket Init Failed -- " + terminated,
                                                    "ERROR Cannot Receive Request without Valid Socket"}));

    const auto start = steady_clock::now();
    subscriber.reset();
    context.reset();
    EXPECT_LT(steady_clock::now() - start, milliseconds(5000));
}

TEST_F(context_shutdown, ends_a_blocking_reply_receive)
{
    const std::string url = queue_url("term");
    auto context = std::make_unique<vorzmq_context>();
    auto reply = std::make_unique<vorzmq_reply_socket>(*context, url);
    reply->set_receive_timeout_ms(-1);
    blocked_call call([&] {
        std::stringstream stream;
        return reply->receive(stream, true);
    });
    ASSERT_TRUE(call.interrupt_until_done([&](pthread_t) { shut_down(*context); }, zmq_call::msg_recv));
    EXPECT_FALSE(call.value());
    EXPECT_TRUE(has_record(ERROR, "Failed to Receive Message -- ZMQ Error: " + terminated +
                                      " -- Closing Socket on Unexpected Error"))
        << describe(all_messages());
    const auto start = steady_clock::now();
    reply.reset();
    context.reset();
    EXPECT_LT(steady_clock::now() - start, milliseconds(5000));
}

// A signal does not cut the context's wait for a message in its linger:
// the destructor still takes the whole linger (1000 ms) for a request that
// no server has taken yet.
TEST_F(context_shutdown, a_signalled_destructor_still_waits_out_the_linger)
{
    no_op_handler handler(SIGUSR1);
    auto context = std::make_unique<vorzmq_context>();
    vorzmq_request_socket(*context, queue_url("linger")).send("lingering", false);
    const auto start = steady_clock::now();
    blocked_call call([&] {
        context.reset();
        return true;
    });
    ASSERT_TRUE(call.interrupt_until_done(send_signal, zmq_call::ctx_destroy)) << "the destructor never returned";
    EXPECT_GE(steady_clock::now() - start, milliseconds(900));
}

// Misuse that would hang in libzmq's wait is named first: a context that
// outlives none of its objects says how many are left, and a forked child
// leaves its parent's context alone instead of waiting for ever.
TEST_F(context_shutdown, a_context_destroyed_too_early_or_in_a_forked_child_is_named)
{
    auto context = std::make_unique<vorzmq_context>();
    auto request = std::make_unique<vorzmq_request_socket>(*context, queue_url("early"));
    auto subscriber = std::make_unique<vorzmq_sub_socket>(*context, queue_url("early"));
    context.reset();  // neither object has a socket yet, so nothing hangs
    EXPECT_TRUE(has_record(ERROR, "Destroying ZMQ Context with 2 Objects Made from It Still Alive -- Waiting for "
                                  "Their Sockets to Close"))
        << describe(all_messages());
    request.reset();
    subscriber.reset();

    captured_log().clear();
    context = std::make_unique<vorzmq_context>();
    vorzmq_request_socket started(*context, queue_url("fork"));
    started.send("starts libzmq's threads", false);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        context.reset();
        const bool named = has_record(ERROR, "ZMQ Context Made by Process " + std::to_string(getppid()) +
                                                 " -- Not Destroyed in Its Forked Child");
        _exit(named ? 0 : 3);
    }
    int status = 0;
    const bool ended = wait_until([&] { return waitpid(child, &status, WNOHANG) == child; });
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    EXPECT_TRUE(ended) << "the child hung in the context's destructor";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// ------------------------------------------------------------------ destruction with queued messages

struct queued_case {
    const char* name;
    // Leaves undelivered messages behind in library objects (held in
    // `objects`) and may keep raw peers (in `peers`) that stay alive until
    // the context is gone.
    std::function<void(vorzmq_context&, const std::string& url, std::shared_ptr<void>& objects,
                       std::shared_ptr<void>& peers)>
        leave_messages;
};

void PrintTo(const queued_case& c, std::ostream* out)
{
    *out << c.name;
}

class destruction_with_queued_messages : public library_test,
                                         public testing::WithParamInterface<queued_case> {};

TEST_P(destruction_with_queued_messages, sockets_then_context_return_within_the_linger_period)
{
    const std::string url = free_tcp_url();
    auto context = std::make_unique<vorzmq_context>();
    std::shared_ptr<void> objects;
    std::shared_ptr<void> peers;
    GetParam().leave_messages(*context, url, objects, peers);
    const auto start = steady_clock::now();
    objects.reset();
    context.reset();
    const auto elapsed = steady_clock::now() - start;
    // The linger is 1000 ms; the bound is generous for a loaded machine.
    EXPECT_LT(elapsed, milliseconds(5000));
    std::cout << GetParam().name << ": sockets and context destroyed in "
              << std::chrono::duration_cast<milliseconds>(elapsed).count() << " ms\n";
}

const queued_case queued_cases[] = {
    // Nobody listens: the request waits in the queue of a pending connection.
    {"request_without_peer",
     [](vorzmq_context& context, const std::string& url, std::shared_ptr<void>& objects, std::shared_ptr<void>&) {
         auto request = std::make_shared<vorzmq_request_socket>(context, url);
         request->send(std::string(100000, 'r'), false);
         objects = request;
     }},
    // A subscriber that never reads: the publisher's queue fills to its mark.
    {"publisher_with_stalled_subscriber",
     [](vorzmq_context& context, const std::string& url, std::shared_ptr<void>& objects,
        std::shared_ptr<void>& peers) {
         auto stalled = std::make_shared<raw_socket>(ZMQ_SUB);
         stalled->set_int(ZMQ_RCVHWM, 1);
         stalled->subscribe("");
         stalled->connect(url);
         auto publisher = std::make_shared<vorzmq_pub_socket>(context, url);
         for (int i = 0; i < 2000; ++i) {
             publisher->send("bulk", std::string(10000, 'p'));
         }
         peers = stalled;
         objects = publisher;
     }},
    // A reply queued for a client that has gone away.
    {"reply_to_vanished_client",
     [](vorzmq_context& context, const std::string& url, std::shared_ptr<void>& objects, std::shared_ptr<void>&) {
         auto reply = std::make_shared<vorzmq_reply_socket>(context, url);
         {
             raw_socket client(ZMQ_REQ);
             client.connect(url);
             client.send_frames({"question"});
             std::stringstream stream;
             EXPECT_TRUE(reply->receive(stream, false));
         }
         reply->send(std::string(100000, 'a'));
         objects = reply;
     }},
    // Objects of every class at once, some never used.
    {"every_class_together",
     [](vorzmq_context& context, const std::string& url, std::shared_ptr<void>& held, std::shared_ptr<void>&) {
         struct all {
             all(vorzmq_context& c, const std::string& u)
                 : publisher(c, u), subscriber(c, u), request(c, free_tcp_url()), rebroadcast(c, free_tcp_url())
             {
             }
             vorzmq_pub_socket publisher;
             vorzmq_sub_socket subscriber;
             vorzmq_request_socket request;
             vorzmq_rebrdcst_socket rebroadcast;
         };
         auto objects = std::make_shared<all>(context, url);
         objects->publisher.send("t", "queued");
         objects->subscriber.add_topic("t");
         objects->request.send("queued", false);
         held = objects;
     }},
};

INSTANTIATE_TEST_SUITE_P(shutdown, destruction_with_queued_messages, testing::ValuesIn(queued_cases), case_name);

}  // namespace

// SPDX-License-Identifier: MIT
// The poller: which sockets it reports readable, how its time-out and a
// signal end a wait, the lazy sockets it creates (and re-creates) first,
// membership, and the host program that serves a queue and follows a topic
// in one thread while other processes talk to it.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "request_reply_helpers.h"
#include "vorzmq.h"

using namespace vorzmq_test;
using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

extern char** environ;

namespace {

constexpr char topic[] = "t";

std::string with_zero(const std::string& text)
{
    return text + std::string(1, '\0');
}

std::string endpoint_path(const std::string& url)
{
    return url.substr(std::strlen("ipc://"));
}

// One socket of each kind, each with a raw peer, and a poller over all
// three. The subscriber has heard the publisher before a case begins.
struct world {
    world(vorzmq_context& context, const std::string& reply_url, const std::string& pub_url,
          const std::string& server_url)
        : reply_url(reply_url), reply(context, reply_url), sub(context, pub_url), request(context, server_url)
    {
        publisher.set_int(ZMQ_SNDHWM, 0);
        publisher.bind(pub_url);
        server.bind(server_url);
        client.connect(reply_url);
        sub.add_topic(topic);
        poller.add(reply);
        poller.add(sub);
        poller.add(request);
    }

    void publish(const std::string& topic_frame, const std::string& data)
    {
        publisher.send_frames({topic_frame, with_zero(data)});
    }

    // A subscription reaches the publisher some time after the connect:
    // publish until one message arrives, then read up to a marker.
    bool settle_subscription()
    {
        const bool heard = wait_until(
            [&] {
                publish(std::string(topic) + "$", "sync");
                return poller.wait(20) > 0 && poller.readable(sub);
            },
            20s);
        publish(std::string(topic) + "$", "synced");
        for (std::stringstream data; heard && data.str() != "synced";) {
            data.str("");
            if (poller.wait(5000) <= 0 || !poller.readable(sub) || !sub.receive(data)) {
                return false;
            }
        }
        return heard;
    }

    std::string reply_url;
    raw_socket publisher{ZMQ_PUB};
    raw_socket server{ZMQ_REP};  // answers the request socket
    raw_socket client{ZMQ_REQ};  // asks the reply socket
    vorzmq_reply_socket reply;
    vorzmq_sub_socket sub;
    vorzmq_request_socket request;
    vorzmq_poller poller;  // declared last, so destroyed before its sockets
};

class poller_test : public library_test {
protected:
    std::unique_ptr<world> make_world()
    {
        auto made = std::make_unique<world>(context, queue_url("rep"), queue_url("pub"), queue_url("srv"));
        EXPECT_TRUE(made->settle_subscription());
        captured_log().clear();
        return made;
    }

    vorzmq_context context;
};

// ---------------------------------------------------------------- readiness

// Which sockets a case expects readable.
enum readable_set : unsigned { none = 0, reply_socket = 1, sub_socket = 2, request_socket = 4 };

struct readiness_case {
    const char* name;
    std::function<void(world&)> stimulus;
    unsigned readable;
};

// Each readable socket is then received from: the message must be the one
// the stimulus meant, and a receive must not block.
TEST_F(poller_test, reports_exactly_the_sockets_with_a_message_waiting)
{
    const auto ask_and_answer = [](world& w) {
        w.request.send("question", false);
        ASSERT_TRUE(w.server.receive_frames());
        w.server.send_frames({"answer"});
    };
    const std::vector<readiness_case> cases = {
        {"nothing sent", [](world&) {}, none},
        {"request for the reply socket", [](world& w) { w.client.send_frames({"hello"}); }, reply_socket},
        {"message under the subscribed topic", [](world& w) { w.publish("t$", "news"); }, sub_socket},
        {"filtered-out messages, then one that passes",
         [](world& w) {
             w.publish("other$", "skip");
             w.publish("tt$", "skip");
             w.publish("t$", "news");
         },
         sub_socket},
        {"reply to an unacknowledged send", ask_and_answer, request_socket},
        {"all three at once",
         [&](world& w) {
             w.client.send_frames({"hello"});
             w.publish("t$", "news");
             ask_and_answer(w);
         },
         reply_socket | sub_socket | request_socket},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        auto w = make_world();
        row.stimulus(*w);
        const int expected = __builtin_popcount(row.readable);
        if (expected == 0) {
            EXPECT_EQ(w->poller.wait(50), 0);
        } else {
            EXPECT_TRUE(wait_until([&] { return w->poller.wait(50) == expected; }));
        }
        EXPECT_EQ(w->poller.readable(w->reply), (row.readable & reply_socket) != 0);
        EXPECT_EQ(w->poller.readable(w->sub), (row.readable & sub_socket) != 0);
        EXPECT_EQ(w->poller.readable(w->request), (row.readable & request_socket) != 0);

        // A receive that would have to wait fails at once instead.
        w->reply.set_receive_flags(ZMQ_DONTWAIT);
        w->sub.set_receive_flags(ZMQ_DONTWAIT);
        if (row.readable & reply_socket) {
            std::stringstream text;
            EXPECT_TRUE(w->reply.receive(text, true));
            EXPECT_EQ(text.str(), "hello");
        }
        if (row.readable & sub_socket) {
            std::stringstream text;
            EXPECT_TRUE(w->sub.receive(text));
            EXPECT_EQ(text.str(), "news");
        }
        if (row.readable & request_socket) {
            char answer[16] = {};
            EXPECT_EQ(w->request.receive(answer, sizeof answer), 6u);
            EXPECT_EQ(std::string(answer, 6), "answer");
        }
        EXPECT_EQ(w->poller.wait(0), 0) << "a message left over";
        EXPECT_EQ(problems(), std::vector<std::string>{});
    }
}

TEST_F(poller_test, reply_socket_owing_a_reply_is_not_readable_until_it_answers)
{
    auto w = make_world();
    raw_socket second(ZMQ_REQ);
    second.connect(w->reply_url);
    w->client.send_frames({"first"});
    ASSERT_TRUE(wait_until([&] { return w->poller.wait(50) == 1; }));
    std::stringstream text;
    ASSERT_TRUE(w->reply.receive(text, false));

    second.send_frames({"second"});
    // Without the answer, the second request cannot be taken.
    EXPECT_EQ(w->poller.wait(200), 0);
    EXPECT_FALSE(w->poller.readable(w->reply));

    w->reply.send(std::string("answer"));
    EXPECT_EQ(w->poller.wait(5000), 1);
    EXPECT_TRUE(w->poller.readable(w->reply));
    text.str("");
    EXPECT_TRUE(w->reply.receive(text, true));
    EXPECT_EQ(text.str(), "second");
    EXPECT_EQ(problems(), std::vector<std::string>{});
}

// ---------------------------------------------------------------- time-out

struct timeout_case {
    const char* name;
    int32_t timeout_ms;
    bool message_first;  // a message waits before the wait begins
    bool message_later;  // a message arrives during the wait
    int expected;
    milliseconds at_least;
};

TEST_F(poller_test, waits_as_long_as_its_time_out_says)
{
    const std::vector<timeout_case> cases = {
        {"0 with nothing waiting", 0, false, false, 0, 0ms},
        {"0 with a message waiting", 0, true, false, 1, 0ms},
        {"positive with nothing arriving", 150, false, false, 0, 150ms},
        {"positive with a message waiting", 10000, true, false, 1, 0ms},
        {"-1 until a message arrives", -1, false, true, 1, 100ms},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        auto w = make_world();
        if (row.message_first) {
            w->publish("t$", "news");
            ASSERT_TRUE(wait_until([&] { return w->poller.wait(0) == 1; }));
        }
        std::thread late;
        if (row.message_later) {
            late = std::thread([&] {
                std::this_thread::sleep_for(row.at_least);  // the delay is what is measured
                w->publish("t$", "news");
            });
        }
        captured_log().clear();
        const auto started = steady_clock::now();
        EXPECT_EQ(w->poller.wait(row.timeout_ms), row.expected);
        EXPECT_GE(elapsed_since(started), row.at_least);
        if (late.joinable()) {
            late.join();
        }
        EXPECT_EQ(w->poller.readable(w->sub), row.expected == 1);
        const bool traced = has_record(trace_level, "No Messages Received Before Timeout: " +
                                                        std::to_string(row.timeout_ms) + "ms");
        EXPECT_EQ(traced, row.expected == 0);
        EXPECT_EQ(problems(), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------- signals

void ignore_signal(int) {}

TEST_F(poller_test, a_signal_ends_the_wait_with_zero_and_breaks_nothing)
{
    struct sigaction action {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    for (const int32_t timeout_ms : {-1, 60000}) {
        SCOPED_TRACE(timeout_ms);
        auto w = make_world();
        std::atomic<bool> done{false};
        int result = -2;
        const pthread_t waiter_id = pthread_self();
        std::thread killer([&] {
            // A signal that lands before the wait begins is lost; send until
            // the wait has ended.
            while (!done) {
                pthread_kill(waiter_id, SIGUSR1);
                std::this_thread::sleep_for(5ms);
            }
        });
        const auto started = steady_clock::now();
        result = w->poller.wait(timeout_ms);
        done = true;
        killer.join();
        EXPECT_EQ(result, 0);
        EXPECT_LT(elapsed_since(started), 5000ms);
        EXPECT_FALSE(w->poller.readable(w->sub));
        EXPECT_EQ(problems(), std::vector<std::string>{});

        // Every socket is as it was: the next message is reported at once.
        w->publish("t$", "news");
        EXPECT_EQ(w->poller.wait(5000), 1);
        std::stringstream text;
        EXPECT_TRUE(w->sub.receive(text));
        EXPECT_EQ(text.str(), "news");
        EXPECT_EQ(problems(), std::vector<std::string>{});
    }
    sigaction(SIGUSR1, &previous, nullptr);
}

// ---------------------------------------------------------------- lazy sockets

TEST_F(poller_test, first_wait_creates_sockets_as_their_receive_would)
{
    const std::string reply_url = queue_url("rep");
    const std::string pub_url = queue_url("pub");
    raw_socket publisher(ZMQ_PUB);
    publisher.bind(pub_url);
    vorzmq_reply_socket reply(context, reply_url);
    vorzmq_sub_socket sub(context, pub_url);
    vorzmq_request_socket request(context, queue_url("nobody"));
    vorzmq_poller poller;
    poller.add(reply);
    poller.add(sub);
    poller.add(request);
    captured_log().clear();
    EXPECT_FALSE(std::filesystem::exists(endpoint_path(reply_url)));

    const auto started = steady_clock::now();
    EXPECT_EQ(poller.wait(0), 0);
    EXPECT_GE(elapsed_since(started), 500ms);  // the bind pause
    EXPECT_TRUE(std::filesystem::exists(endpoint_path(reply_url)));
    // Without a filter of its own, the subscriber hears every topic.
    expect_record_at(debug_level, "Initializing Sub Socket to: " + pub_url,
                     "void vorzmq_sub_socket::init_if_necessary()");
    expect_record_at(debug_level, "Adding Topic  for URL: " + pub_url,
                     "void vorzmq_sub_socket::add_topic(const string&, bool)");
    // A request socket is not connected before its first send.
    EXPECT_EQ(library_calls(zmq_call::connect), 1);
    EXPECT_EQ(problems(), std::vector<std::string>{});

    const bool heard = wait_until([&] {
        publisher.send_frames({"any topic$", with_zero("hello")});
        return poller.wait(20) == 1 && poller.readable(sub);
    });
    EXPECT_TRUE(heard);
    EXPECT_EQ(count_records(debug_level, "Adding Topic  for URL: " + pub_url), 1u);
}

TEST_F(poller_test, first_wait_carries_out_a_pending_reset)
{
    auto w = make_world();
    w->publish("t$", "lost");
    w->client.send_frames({"lost"});
    ASSERT_TRUE(wait_until([&] { return w->poller.wait(50) == 2; }));
    // A receive error other than a time-out breaks each socket.
    arm_fault(zmq_call::msg_recv, EFAULT, 2);
    std::stringstream ignored;
    EXPECT_FALSE(w->sub.receive(ignored));
    EXPECT_FALSE(w->reply.receive(ignored, true));
    captured_log().clear();

    EXPECT_EQ(w->poller.wait(0), 0);
    EXPECT_EQ(problems(), (std::vector<std::string>{"WARN Closing Socket", "WARN Closing Socket"}));
    // The new subscribe socket has the recorded filter again...
    EXPECT_TRUE(w->settle_subscription());
    w->publish("other$", "skip");
    w->publish("t$", "news");
    ASSERT_EQ(w->poller.wait(5000), 1);
    std::stringstream text;
    EXPECT_TRUE(w->sub.receive(text));
    EXPECT_EQ(text.str(), "news");
    // ...and the new reply socket is bound where the old one was.
    raw_socket client(ZMQ_REQ);
    client.connect(w->reply_url);
    client.send_frames({"again"});
    ASSERT_EQ(w->poller.wait(5000), 1);
    text.str("");
    EXPECT_TRUE(w->reply.receive(text, true));
    EXPECT_EQ(text.str(), "again");
}

TEST_F(poller_test, a_socket_that_cannot_be_created_is_left_out_and_tried_again)
{
    auto w = make_world();
    const std::string pub_url = queue_url("late");
    raw_socket publisher(ZMQ_PUB);
    publisher.bind(pub_url);
    vorzmq_sub_socket late(context, pub_url);
    w->poller.add(late);
    const int created_before = library_calls(zmq_call::socket);
    arm_fault(zmq_call::socket, EMFILE, 1);

    EXPECT_EQ(w->poller.wait(0), 0);
    EXPECT_TRUE(has_record(error_level, "ZMQ Socket Init Failed -- " + zmq_text(EMFILE)));
    // The others are still waited on, and the next wait tries again.
    w->publish("t$", "news");
    EXPECT_TRUE(wait_until([&] { return w->poller.wait(50) == 1 && w->poller.readable(w->sub); }));
    EXPECT_EQ(library_calls(zmq_call::socket), created_before + 2);
    w->poller.remove(late);
    std::stringstream text;
    EXPECT_TRUE(w->sub.receive(text));

    // Without a time-out the wait tries again by itself, and still returns
    // only for a message.
    arm_fault(zmq_call::socket, EMFILE, 1);
    vorzmq_sub_socket later(context, pub_url);
    w->poller.add(later);
    std::atomic<bool> heard{false};
    std::thread feed([&] {
        for (int i = 0; i < 1000 && !heard; ++i) {
            publisher.send_frames({"x$", with_zero("news")});
            std::this_thread::sleep_for(10ms);
        }
    });
    const int ready = w->poller.wait(-1);
    heard = true;
    feed.join();
    EXPECT_EQ(ready, 1);
    EXPECT_TRUE(w->poller.readable(later));
    EXPECT_EQ(count_records(error_level, "ZMQ Socket Init Failed -- " + zmq_text(EMFILE)), 2u);
}

// A failing bind costs a wait nothing: the others are served meanwhile, and
// the bind is tried again only after the pause a receive would take.
TEST_F(poller_test, a_failing_bind_neither_blocks_the_wait_nor_repeats_within_its_pause)
{
    auto w = make_world();
    vorzmq_reply_socket taken(context, w->reply_url);  // the world's reply socket holds it
    w->poller.add(taken);
    const auto started = steady_clock::now();
    EXPECT_EQ(w->poller.wait(0), 0);
    EXPECT_EQ(w->poller.wait(0), 0);
    EXPECT_LT(elapsed_since(started), 4s);  // a receive would have paused 5 s
    EXPECT_EQ(count_records(error_level, "Failed to Bind to ZMQ URL: " + w->reply_url + " -- " +
                                             zmq_text(EADDRINUSE) + " -- Closing Socket"),
              1u);
    w->publish("t$", "news");
    EXPECT_TRUE(wait_until([&] { return w->poller.wait(50) == 1 && w->poller.readable(w->sub); }));
    w->poller.remove(taken);
}

// ---------------------------------------------------------------- membership

TEST_F(poller_test, removed_sockets_are_not_waited_on_and_double_adds_count_once)
{
    auto w = make_world();
    w->poller.add(w->sub);  // a second time: still one member
    w->publish("t$", "news");
    ASSERT_TRUE(wait_until([&] { return w->poller.wait(50) == 1; }));

    w->poller.remove(w->sub);
    EXPECT_FALSE(w->poller.readable(w->sub));
    EXPECT_EQ(w->poller.wait(0), 0);
    w->poller.remove(w->sub);  // not a member any more: nothing happens

    w->poller.add(w->sub);
    EXPECT_EQ(w->poller.wait(0), 1);
    EXPECT_TRUE(w->poller.readable(w->sub));

    // A poller emptied of sockets still keeps its time-out.
    vorzmq_poller empty;
    empty.add(w->sub);
    empty.remove(w->sub);
    const auto started = steady_clock::now();
    EXPECT_EQ(empty.wait(100), 0);
    EXPECT_GE(elapsed_since(started), 100ms);
    EXPECT_FALSE(empty.readable(w->sub));
}

// A socket destroyed while still added leaves every poller holding it, with
// one WARN, so that no later wait touches the freed object.
template <class Socket>
void destroy_while_added(vorzmq_context& context, const std::string& url, const std::string& destructor)
{
    SCOPED_TRACE(destructor);
    vorzmq_poller first;
    vorzmq_poller second;
    auto socket = std::make_unique<Socket>(context, url);
    first.add(*socket);
    second.add(*socket);
    EXPECT_EQ(first.wait(0), 0);  // creates its ZeroMQ socket as a receive would
    auto removed_first = std::make_unique<Socket>(context, url + "-removed");
    second.add(*removed_first);
    second.remove(*removed_first);
    removed_first.reset();
    socket.reset();
    EXPECT_EQ(first.wait(0), 0);
    EXPECT_EQ(second.wait(0), 0);
    const std::string text = "Socket Destroyed While Added to a Poller -- Removed from the Poller";
    expect_record_at(warn_level, text, destructor);
    EXPECT_EQ(problems(), std::vector<std::string>{"WARN " + text});
    captured_log().clear();
}

TEST_F(poller_test, a_socket_destroyed_while_added_leaves_its_pollers)
{
    destroy_while_added<vorzmq_reply_socket>(context, queue_url("rep"), "vorzmq_reply_socket::~vorzmq_reply_socket()");
    destroy_while_added<vorzmq_sub_socket>(context, queue_url("pub"), "vorzmq_sub_socket::~vorzmq_sub_socket()");
    destroy_while_added<vorzmq_request_socket>(context, queue_url("srv"),
                                               "vorzmq_request_socket::~vorzmq_request_socket()");
}

// ---------------------------------------------------------------- request socket

struct request_case {
    const char* name;
    bool sent;
    bool acknowledged;  // the library read the reply itself
    bool readable;
};

TEST_F(poller_test, request_socket_takes_part_only_while_a_reply_is_due)
{
    const std::vector<request_case> cases = {
        {"before its first send", false, false, false},
        {"after a send that waits for its reply", true, true, false},
        {"after a send whose reply the host reads", true, false, true},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const std::string url = queue_url("srv");
        scripted_rep_peer server(url, row.sent ? std::vector<std::vector<std::string>>{{with_zero("ok")}}
                                               : std::vector<std::vector<std::string>>{});
        vorzmq_request_socket request(context, url);
        vorzmq_poller poller;
        poller.add(request);
        if (row.sent) {
            request.send("question", row.acknowledged);
        }
        if (row.readable) {
            EXPECT_EQ(poller.wait(5000), 1);
        } else {
            EXPECT_EQ(poller.wait(100), 0);
        }
        EXPECT_EQ(poller.readable(request), row.readable);
        EXPECT_EQ(library_calls(zmq_call::socket), row.sent ? 1 : 0);
        EXPECT_EQ(problems(), std::vector<std::string>{});
        server.finish();
        reset_faults();
    }
}

// ---------------------------------------------------------------- failure

TEST_F(poller_test, a_failed_wait_returns_minus_one_with_an_error_record)
{
    auto w = make_world();
    // Shutting the context down makes every socket of it refuse to work.
    zmq_ctx_shutdown(context.context);
    EXPECT_EQ(w->poller.wait(1000), -1);
    expect_record_at(error_level, "Failed to Poll Sockets -- " + zmq_text(ETERM), "int vorzmq_poller::wait(int32_t)");
    EXPECT_FALSE(w->poller.readable(w->sub));
}

// ---------------------------------------------------------------- host program

#ifdef SERVE_AND_FOLLOW_EXAMPLE
// The example host, in its own process, answers 1,000 requests of this
// process and receives 1,000 messages that this process publishes between
// them, in one thread, without a WARN or ERROR and without a wait(-1) that
// returned 0 unless a signal came.
TEST_F(poller_test, example_host_serves_and_follows_interleaved_traffic)
{
    const std::string queue = unique_name("host");
    const std::string pub_url = queue_url("feed");
    raw_socket publisher(ZMQ_PUB);
    publisher.set_int(ZMQ_SNDHWM, 0);
    publisher.bind(pub_url);

    const std::string out = home->path() + "/host.out";
    const std::string err = home->path() + "/host.err";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> arguments = {SERVE_AND_FOLLOW_EXAMPLE, queue, pub_url, "feed"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t host = 0;
    ASSERT_EQ(posix_spawn(&host, argv[0], &files, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&files);

    const auto output = [&] {
        std::ifstream in(out);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // Acknowledged once bound; heard once subscribed.
    vorzmq_request_socket request(context, build_request_response_url(queue));
    EXPECT_TRUE(wait_until([&] {
        publisher.send_frames({"feed$", with_zero("sync")});
        return output().find("message: sync\n") != std::string::npos;
    }));
    request.send("hello", true);
    ASSERT_TRUE(wait_until([&] { return output().find("request: hello\n") != std::string::npos; }));
    captured_log().clear();

    for (int i = 0; i < 1000; ++i) {
        publisher.send_frames({"feed$", with_zero("m" + std::to_string(i))});
        request.send("r" + std::to_string(i), true);  // an ERROR unless acknowledged within 1 s
    }
    publisher.send_frames({"feed$", with_zero("end")});
    EXPECT_TRUE(wait_until([&] { return output().find("message: end\n") != std::string::npos; }, 20s));
    EXPECT_EQ(problems(), std::vector<std::string>{});

    int status = 0;
    EXPECT_TRUE(wait_until([&] {
        kill(host, SIGTERM);
        return waitpid(host, &status, WNOHANG) == host;
    }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::vector<std::string> requests;
    std::vector<std::string> messages;
    std::istringstream lines(output());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("request: r", 0) == 0) {
            requests.push_back(line.substr(9));
        } else if (line.rfind("message: m", 0) == 0) {
            messages.push_back(line.substr(9));
        } else {
            // The host's log records would also land here.
            EXPECT_TRUE(line == "request: hello" || line == "message: sync" || line == "message: end") << line;
        }
    }
    ASSERT_EQ(requests.size(), 1000u);
    ASSERT_EQ(messages.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(requests[i], "r" + std::to_string(i));
        EXPECT_EQ(messages[i], "m" + std::to_string(i));
    }
    std::ifstream errors(err);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(errors), {}), "");
}
#endif

}  // namespace

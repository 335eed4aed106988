// SPDX-License-Identifier: MIT
// The publish and subscribe sockets: exact frames against raw libzmq peers,
// filters end to end, and recovery from failures forced through the harness.
#include <zmq.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "vorzmq.h"

using namespace vorzmq_test;
using namespace std::chrono_literals;

namespace {

// Subscribers in these tests wait at most this long, so that a lost message
// fails the test instead of hanging it.
constexpr int32_t receive_limit_ms = 5000;

using text_list = std::vector<std::string>;
using frame_list = std::vector<std::string>;

std::string with_zero(const std::string& text)
{
    return text + std::string(1, '\0');
}

std::string endpoint_path(const std::string& url)
{
    return url.substr(std::strlen("ipc://"));
}

std::string error_text(int error)
{
    return zmq_strerror(error);
}

// libzmq's own text for an empty endpoint, which the library passes on.
std::string empty_endpoint_error(bool bind)
{
    raw_socket probe(bind ? ZMQ_PUB : ZMQ_SUB);
    const int rc = bind ? zmq_bind(probe.handle(), "") : zmq_connect(probe.handle(), "");
    return rc == 0 ? std::string("(empty endpoint accepted)") : error_text(zmq_errno());
}

using publish_fn = std::function<void(const std::string& data)>;
// The data text of the next message, or nothing within the timeout.
using receive_fn = std::function<std::optional<std::string>(std::chrono::milliseconds)>;

publish_fn library_publisher(vorzmq_pub_socket& pub, const std::string& topic)
{
    return [&pub, topic](const std::string& data) { pub.send(topic, data); };
}

publish_fn raw_publisher(raw_socket& pub, const std::string& topic_frame)
{
    return [&pub, topic_frame](const std::string& data) { pub.send_frames({topic_frame, with_zero(data)}); };
}

receive_fn raw_receiver(raw_socket& sub)
{
    return [&sub](std::chrono::milliseconds timeout) -> std::optional<std::string> {
        auto frames = sub.receive_frames(static_cast<int>(timeout.count()));
        if (!frames || frames->size() != 2 || frames->back().empty()) {
            return std::nullopt;
        }
        return frames->back().substr(0, frames->back().size() - 1);
    };
}

// Polls without blocking, so that the subscriber's own timeout stays long.
receive_fn library_receiver(vorzmq_sub_socket& sub)
{
    return [&sub](std::chrono::milliseconds timeout) -> std::optional<std::string> {
        std::stringstream text;
        sub.set_receive_flags(ZMQ_DONTWAIT);
        const bool received = wait_until([&] { return sub.receive(text); }, timeout);
        sub.set_receive_flags(0);
        return received ? std::optional<std::string>(text.str()) : std::nullopt;
    };
}

// A subscription reaches the publisher some time after the connect, and what
// is published before that is dropped. So publish until something arrives,
// then publish a marker and read up to it: no sync message is left behind.
bool sync(const publish_fn& publish, const receive_fn& receive)
{
    const bool heard = wait_until(
        [&] {
            publish("sync");
            return receive(50ms).has_value();
        },
        20s);
    if (!heard) {
        return false;
    }
    publish("synced");
    for (;;) {
        const auto data = receive(std::chrono::milliseconds(receive_limit_ms));
        if (!data) {
            return false;
        }
        if (*data == "synced") {
            return true;
        }
    }
}

// Subscribes `sub` to "t" (with a receive time-out) and waits until it hears
// `publish`.
bool joined(vorzmq_sub_socket& sub, const publish_fn& publish)
{
    sub.set_receive_timeout_ms(receive_limit_ms);
    sub.add_topic("t");
    return sync(publish, library_receiver(sub));
}

size_t count_records_starting(int level, const std::string& prefix)
{
    const auto records = captured_log().records();
    return static_cast<size_t>(std::count_if(records.begin(), records.end(), [&](const log_record& record) {
        return record.level == level && record.message.rfind(prefix, 0) == 0;
    }));
}

// Every message's frames up to the one whose data frame is `end` + zero.
std::optional<std::vector<frame_list>> frames_until(raw_socket& sub, const std::string& end)
{
    std::vector<frame_list> messages;
    for (;;) {
        auto frames = sub.receive_frames(receive_limit_ms);
        if (!frames) {
            return std::nullopt;
        }
        if (frames->size() == 2 && (*frames)[1] == with_zero(end)) {
            return messages;
        }
        messages.push_back(*frames);
    }
}

// Every delivered text up to `end`, read with blocking stream receives.
std::optional<text_list> texts_until(vorzmq_sub_socket& sub, const std::string& end)
{
    text_list texts;
    for (;;) {
        std::stringstream text;
        if (!sub.receive(text)) {
            return std::nullopt;
        }
        if (text.str() == end) {
            return texts;
        }
        texts.push_back(text.str());
    }
}

// ---------------------------------------------------------------- publish socket

class publish_socket_test : public library_test {};

TEST_F(publish_socket_test, raw_subscriber_sees_topic_and_data_frames_exactly)
{
    struct frame_case {
        std::string topic;
        std::string data;
        std::string topic_frame;
        std::string data_frame;
    };
    const std::vector<frame_case> cases = {
        {"alerts", "xyz", "alerts$", std::string("xyz\0", 4)},
        {"alerts$", "xyz", "alerts$", std::string("xyz\0", 4)},
        {"a$b", "xyz", "a$b$", std::string("xyz\0", 4)},
        {"", "xyz", "$", std::string("xyz\0", 4)},
        {"alerts", "", "alerts$", std::string(1, '\0')},
        {"$", "d", "$", std::string("d\0", 2)},
        // Lengths come from the strings, so inner zero bytes travel too.
        {std::string("t\0u", 3), std::string("x\0y", 3), std::string("t\0u$", 4), std::string("x\0y\0", 4)},
    };
    vorzmq_context context;
    const std::string url = queue_url("frames");
    raw_socket sub(ZMQ_SUB);
    sub.subscribe("");
    sub.connect(url);
    vorzmq_pub_socket pub(context, url);
    ASSERT_TRUE(sync(library_publisher(pub, "sync"), raw_receiver(sub)));

    for (const auto& c : cases) {
        pub.send(c.topic, c.data);
    }
    pub.send("sync", "end");
    const auto messages = frames_until(sub, "end");
    ASSERT_TRUE(messages.has_value());
    ASSERT_EQ(messages->size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i) + ", topic " + testing::PrintToString(cases[i].topic));
        EXPECT_EQ((*messages)[i], (frame_list{cases[i].topic_frame, cases[i].data_frame}));
    }
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

TEST_F(publish_socket_test, construction_alone_never_binds)
{
    vorzmq_context context;
    const std::string url = queue_url("idle");
    reset_faults();
    captured_log().clear();
    {
        vorzmq_pub_socket pub(context, url);
        EXPECT_TRUE(pub.valid());
    }
    EXPECT_EQ(library_calls_total(), 0);
    EXPECT_FALSE(std::filesystem::exists(endpoint_path(url)));
    EXPECT_EQ(all_messages(), text_list{"DEBUG Initializing ZMQ Publish Socket: " + url});
}

TEST_F(publish_socket_test, destructor_closes_quietly_without_unbinding)
{
    vorzmq_context context;
    const std::string url = free_tcp_url();
    {
        vorzmq_pub_socket pub(context, url);
        pub.send("t", "d");
        ASSERT_EQ(library_calls(zmq_call::bind), 1);
        reset_faults();
        captured_log().clear();
    }
    EXPECT_EQ(library_calls(zmq_call::close), 1);
    EXPECT_EQ(library_calls_total(), 1);
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
    // The port is released while the context lives on.
    raw_socket successor(ZMQ_PUB);
    EXPECT_TRUE(wait_until([&] { return zmq_bind(successor.handle(), url.c_str()) == 0; }, 5s));
}

// An unbind before the close would end the subscriber's connection with the
// message still queued for it; the race lost most rounds with large messages.
TEST_F(publish_socket_test, message_queued_at_destruction_still_reaches_a_joined_subscriber)
{
    const std::string big = std::string(2 * 1024 * 1024, 'b');
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        vorzmq_context context;
        const std::string url = queue_url("linger");
        raw_socket sub(ZMQ_SUB);
        sub.subscribe("");
        sub.connect(url);
        {
            vorzmq_pub_socket pub(context, url);
            ASSERT_TRUE(sync(library_publisher(pub, "sync"), raw_receiver(sub)));
            pub.send("big", big);
        }
        const auto data = raw_receiver(sub)(std::chrono::milliseconds(receive_limit_ms));
        ASSERT_TRUE(data.has_value());
        EXPECT_EQ(data->size(), big.size());
    }
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

// The mark is twice the burst: messages sent before the burst still count
// against it until the socket takes their queue places back.
TEST_F(publish_socket_test, raised_mark_delivers_a_whole_burst_to_a_subscriber_that_keeps_up)
{
    constexpr int burst = 10000;
    vorzmq_context context;
    const std::string url = queue_url("burst");
    vorzmq_sub_socket sub(context, url);
    sub.set_receive_timeout_ms(receive_limit_ms);
    sub.add_topic("burst");
    sub.add_topic("sync");
    vorzmq_pub_socket pub(context, url);
    pub.set_high_water_mark(2 * burst);
    ASSERT_TRUE(sync(library_publisher(pub, "sync"), library_receiver(sub)));

    for (int i = 0; i < burst; ++i) {
        pub.send("burst", std::to_string(i));
    }
    pub.send("sync", "end");
    const auto texts = texts_until(sub, "end");
    ASSERT_TRUE(texts.has_value());
    ASSERT_EQ(texts->size(), static_cast<size_t>(burst));
    for (int i = 0; i < burst; ++i) {
        ASSERT_EQ((*texts)[static_cast<size_t>(i)], std::to_string(i));
    }
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

// A subscriber that stops reading overflows its queue: the publisher says so,
// and a subscriber that keeps up still gets every message, the ones the other
// missed included.
TEST_F(publish_socket_test, full_queue_is_reported_and_drops_only_for_that_subscriber)
{
    const std::string block(64 * 1024, 'x');
    vorzmq_context context;
    const std::string url = queue_url("full");
    raw_socket stalled(ZMQ_SUB);
    stalled.set_int(ZMQ_RCVHWM, 1);
    stalled.subscribe("");
    stalled.connect(url);
    raw_socket reader(ZMQ_SUB);
    reader.subscribe("");
    reader.connect(url);
    vorzmq_pub_socket pub(context, url);
    ASSERT_TRUE(sync(library_publisher(pub, "sync"), raw_receiver(stalled)));
    ASSERT_TRUE(sync(library_publisher(pub, "sync"), raw_receiver(reader)));
    // The reader still holds sync messages meant for the other.
    pub.send("t", "drained");
    for (std::optional<std::string> text; text != "drained";) {
        text = raw_receiver(reader)(std::chrono::milliseconds(receive_limit_ms));
        ASSERT_TRUE(text.has_value());
    }
    captured_log().clear();

    const std::string full_queue = "WARN Failed to Publish Message Topic: t$ -- ZMQ Error: " + error_text(EAGAIN);
    // Publishes in step with the reader until the stalled queue overflows
    // `overflows` times in all.
    int sent = 0;
    const auto publish_until_overflow = [&](size_t overflows) {
        for (int i = 0; i < 2000 && problems().size() < overflows; ++i) {
            const std::string data = std::to_string(sent++) + block;
            pub.send("t", data);
            const auto heard = raw_receiver(reader)(std::chrono::milliseconds(receive_limit_ms));
            ASSERT_TRUE(heard.has_value() && *heard == data) << "message " << sent - 1 << " lost or changed";
        }
    };
    publish_until_overflow(1);
    EXPECT_EQ(problems(), text_list{full_queue});
    // Once the stalled subscriber has caught up, drops are refused again, so
    // its next overflow is seen too.
    while (stalled.receive_frames(200)) {
    }
    publish_until_overflow(2);
    EXPECT_EQ(problems(), (text_list{full_queue, full_queue}));
}

struct refused_option_case {
    const char* name;
    int option;
    std::string warning;  // without the error text
    std::function<void(vorzmq_pub_socket&)> configure;
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const refused_option_case& c, std::ostream* out)
{
    *out << c.name;
}

class publish_option_test : public library_test, public testing::WithParamInterface<refused_option_case> {};

TEST_P(publish_option_test, refused_option_is_a_warning_and_the_bind_still_happens)
{
    const auto& c = GetParam();
    vorzmq_context context;
    const std::string url = queue_url("option");
    raw_socket sub(ZMQ_SUB);
    sub.subscribe("");
    sub.connect(url);
    vorzmq_pub_socket pub(context, url);
    if (c.configure) {
        c.configure(pub);
    }
    arm_fault(zmq_call::setsockopt, EINVAL, 1, 0, c.option);

    ASSERT_TRUE(sync(library_publisher(pub, "sync"), raw_receiver(sub)));
    EXPECT_EQ(injected_failures(), 1);
    EXPECT_EQ(library_calls(zmq_call::bind), 1);
    EXPECT_EQ(problems(), text_list{"WARN " + c.warning + error_text(EINVAL)});
}

INSTANTIATE_TEST_SUITE_P(options, publish_option_test,
                         testing::Values(refused_option_case{"high_water_mark", ZMQ_SNDHWM,
                                                             "Failed to Set Socket High Water Mark (16) -- ", nullptr},
                                         refused_option_case{"linger", ZMQ_LINGER,
                                                             "Failed to Set Socket Linger (1000) -- ", nullptr},
                                         refused_option_case{"no_drop", ZMQ_XPUB_NODROP,
                                                             "Failed to Set Socket No Drop (1) -- ", nullptr},
                                         // The setters' values reach the next socket.
                                         refused_option_case{"high_water_mark_set", ZMQ_SNDHWM,
                                                             "Failed to Set Socket High Water Mark (0) -- ",
                                                             [](vorzmq_pub_socket& pub) { pub.set_high_water_mark(0); }},
                                         refused_option_case{"linger_set", ZMQ_LINGER,
                                                             "Failed to Set Socket Linger (-1) -- ",
                                                             [](vorzmq_pub_socket& pub) { pub.set_linger_ms(-1); }}),
                         case_name);

// The failed bind is the one record of a send: nothing is sent on a socket
// that does not exist, and the next send binds again.
TEST_F(publish_socket_test, empty_url_fails_each_send_with_one_record_and_binds_again)
{
    vorzmq_context context;
    vorzmq_pub_socket pub(context, "");
    EXPECT_FALSE(pub.valid());
    captured_log().clear();

    const std::string bind_failure =
        "ERROR Failed to Bind ZMQ URL:  -- " + empty_endpoint_error(true) + " -- Closing Socket";
    for (int bind_calls = 1; bind_calls <= 2; ++bind_calls) {
        captured_log().clear();
        pub.send("t", "d");
        EXPECT_EQ(all_messages(), text_list{bind_failure});
        EXPECT_EQ(vorzmq_last_result(), vorzmq_result::no_socket);
        EXPECT_EQ(library_calls(zmq_call::bind), bind_calls);
    }
    EXPECT_EQ(library_calls(zmq_call::send), 0);
}

struct send_fault_case {
    const char* name;
    int frame;  // 0: the topic frame, 1: the data frame (each one zmq_send)
    int error;
    int times;  // consecutive failed sends
    text_list records;
    int sends;  // zmq_send calls for the one message
    bool resets;
    bool next_message_checked;
    bool first_delivered;  // the faulted message still reached the subscriber
};

void PrintTo(const send_fault_case& c, std::ostream* out)
{
    *out << c.name;
}

std::vector<send_fault_case> send_fault_cases()
{
    const std::string closing = " -- Closing Socket on Unexpected Error";
    const std::string full_queue = "WARN Failed to Publish Message Topic: lost$ -- ZMQ Error: " + error_text(EAGAIN);
    return {
        // A queue that only looked full: the credits taken in made room.
        {"topic_frame_queue_full_until_credits_taken_in", 0, EAGAIN, 1, {}, 3, false, true, true},
        // Still full: sent with drops allowed, so whoever has room gets it.
        {"topic_frame_queue_still_full", 0, EAGAIN, 2, {full_queue}, 4, false, true, true},
        {"topic_frame_bad_address", 0, EFAULT, 1,
         {"ERROR Failed to Publish Message Topic: lost$ -- ZMQ Error: " + error_text(EFAULT) + closing}, 1, true, true,
         false},
        // A signal: nothing went out and the socket is kept.
        {"topic_frame_interrupted", 0, EINTR, 1, {"TRACE Send Interrupted by a Signal -- Socket Kept"}, 1, false, true,
         false},
        // After the topic frame, the data frame is sent again: never half a message.
        {"data_frame_interrupted", 1, EINTR, 1, {}, 3, false, true, true},
        // The topic frame already went out with "more", and libzmq offers no
        // way to take it back: the next message would be glued to it. libzmq
        // counts a message against the mark at its first frame, so a data
        // frame never meets a full queue; only the records and the kept
        // socket are checked here.
        {"data_frame_queue_full", 1, EAGAIN, 1,
         {"WARN Failed to Publish Message: lost -- ZMQ Error: " + error_text(EAGAIN)}, 2, false, false, false},
        {"data_frame_context_terminated", 1, ETERM, 1,
         {"ERROR Failed to Publish Message: lost -- ZMQ Error: " + error_text(ETERM) + closing}, 2, true, true, false},
    };
}

class publish_fault_test : public library_test, public testing::WithParamInterface<send_fault_case> {};

TEST_P(publish_fault_test, failed_frame_is_reported_and_only_unexpected_errors_rebind)
{
    const auto& c = GetParam();
    vorzmq_context context;
    const std::string url = queue_url("sendfault");
    raw_socket sub(ZMQ_SUB);
    sub.subscribe("");
    sub.connect(url);
    vorzmq_pub_socket pub(context, url);
    ASSERT_TRUE(sync(library_publisher(pub, "sync"), raw_receiver(sub)));
    reset_faults();
    captured_log().clear();

    arm_fault(zmq_call::send, c.error, c.times, c.frame);
    pub.send("lost", "lost");
    EXPECT_EQ(all_messages(), c.records);
    EXPECT_EQ(library_calls(zmq_call::send), c.sends);

    reset_faults();
    captured_log().clear();
    if (c.resets) {
        // The socket is bound anew, and the subscriber reconnects to it.
        ASSERT_TRUE(sync(library_publisher(pub, "sync"), raw_receiver(sub)));
    }
    pub.send("kept", "kept");
    EXPECT_EQ(count_records(log4cxx::Level::WARN_INT, "Closing Socket: " + url), c.resets ? 1u : 0u);
    EXPECT_EQ(library_calls(zmq_call::bind), c.resets ? 1 : 0);
    if (!c.next_message_checked) {
        return;
    }
    pub.send("sync", "end");
    const auto messages = frames_until(sub, "end");
    ASSERT_TRUE(messages.has_value());
    std::vector<frame_list> expected{{"kept$", with_zero("kept")}};
    if (c.first_delivered) {
        expected.insert(expected.begin(), frame_list{"lost$", with_zero("lost")});
    }
    EXPECT_EQ(*messages, expected);
}

INSTANTIATE_TEST_SUITE_P(faults, publish_fault_test, testing::ValuesIn(send_fault_cases()), case_name);

// What the relay publishes comes from its peers: a failed publication's
// record escapes topic and data, so neither forges a line nor acts on a
// terminal (C0 and C1 controls, bidirectional overrides).
TEST_F(publish_socket_test, failed_publication_records_escape_what_peers_sent)
{
    vorzmq_context context;
    const std::string url = queue_url("forged");
    vorzmq_pub_socket pub(context, url);
    pub.init_if_necessary();
    const std::string forged = "x\x1b[2J\nERROR FORGED\xc2\x9b\xe2\x80\xae\x9b\\";
    const std::string shown = "x\\x1b[2J\\nERROR FORGED\\xc2\\x9b\\xe2\\x80\\xae\\x9b\\\\";
    const std::string error = " -- ZMQ Error: " + error_text(EAGAIN);
    const struct {
        int frame;
        int times;
        std::string record;
    } cases[] = {
        {0, 2, "WARN Failed to Publish Message Topic: " + shown + "$" + error},
        {1, 1, "WARN Failed to Publish Message: " + shown + error},
    };
    for (const auto& c : cases) {
        captured_log().clear();
        arm_fault(zmq_call::send, EAGAIN, c.times, c.frame);
        pub.send(forged, forged);
        EXPECT_EQ(all_messages(), text_list{c.record});
        reset_faults();
    }
}

// ---------------------------------------------------------------- subscribe socket

class subscribe_socket_test : public library_test {};

TEST_F(subscribe_socket_test, construction_and_destruction_alone_make_no_zeromq_call)
{
    vorzmq_context context;
    const std::string url = queue_url("idle");
    reset_faults();
    captured_log().clear();
    { vorzmq_sub_socket sub(context, url); }
    EXPECT_EQ(library_calls_total(), 0);
    EXPECT_EQ(all_messages(), text_list{"DEBUG Initializing ZMQ Subscribe Socket: " + url});
}

// A topic as a host publishes it, as it travels, and the data that names it.
struct probe_topic {
    std::string topic;
    std::string frame;
    std::string label;
};

const std::vector<probe_topic>& probe_topics()
{
    static const std::vector<probe_topic> topics = {
        {"abc", "abc$", "abc"},   {"abcd", "abcd$", "abcd"}, {"ab", "ab$", "ab"},
        {"xabc", "xabc$", "xabc"}, {"key$", "key$", "key$"},  {"", "$", "(empty)"},
    };
    return topics;
}

const probe_topic sync_topic{"zz-sync", "zz-sync$", "-"};

struct filter_request {
    std::string topic;
    std::optional<bool> exact_match;  // none: the one-argument add_topic
};

struct filter_case {
    const char* name;
    std::vector<filter_request> filters;
    text_list expected;  // labels of the probe topics that pass, in order
};

void PrintTo(const filter_case& c, std::ostream* out)
{
    *out << c.name;
}

const text_list all_labels = {"abc", "abcd", "ab", "xabc", "key$", "(empty)"};

const std::vector<filter_case> filter_cases = {
    {"exact_topic", {{"abc", true}}, {"abc"}},
    {"one_argument_is_exact", {{"abc", std::nullopt}}, {"abc"}},
    {"prefix", {{"abc", false}}, {"abc", "abcd"}},
    {"shorter_prefix", {{"ab", false}}, {"abc", "abcd", "ab"}},
    {"empty_exact_passes_all", {{"", true}}, all_labels},
    {"empty_prefix_passes_all", {{"", false}}, all_labels},
    // The filter becomes key$$, which the publisher's key$ never matches.
    {"exact_topic_ending_in_dollar", {{"key$", true}}, {}},
    {"prefix_topic_ending_in_dollar", {{"key$", false}}, {"key$"}},
    {"dollar_prefix_passes_empty_topic", {{"$", false}}, {"(empty)"}},
    {"filters_accumulate", {{"abc", true}, {"x", false}}, {"abc", "xabc"}},
};

enum class peer_kind { library, raw };

// Publishes every probe topic through one kind of peer and checks which
// of them the subscriber's filters let through.
void check_filter_case(const filter_case& c, peer_kind kind, const std::string& url)
{
    vorzmq_context context;
    vorzmq_sub_socket sub(context, url);
    sub.set_receive_timeout_ms(receive_limit_ms);
    for (const auto& filter : c.filters) {
        if (filter.exact_match) {
            sub.add_topic(filter.topic, *filter.exact_match);
        } else {
            sub.add_topic(filter.topic);
        }
    }
    sub.add_topic(sync_topic.topic);

    std::optional<vorzmq_pub_socket> library_pub;
    std::optional<raw_socket> raw_pub;
    const auto publish = [&](const probe_topic& probe, const std::string& data) {
        if (kind == peer_kind::library) {
            library_pub->send(probe.topic, data);
        } else {
            raw_pub->send_frames({probe.frame, with_zero(data)});
        }
    };
    if (kind == peer_kind::library) {
        library_pub.emplace(context, url);
    } else {
        raw_pub.emplace(ZMQ_PUB);
        raw_pub->bind(url);
    }
    ASSERT_TRUE(sync([&](const std::string& data) { publish(sync_topic, data); }, library_receiver(sub)));

    for (const auto& probe : probe_topics()) {
        publish(probe, probe.label);
    }
    publish(sync_topic, "end");
    EXPECT_EQ(texts_until(sub, "end"), std::optional<text_list>(c.expected));
    // The receives added no filter of their own (no subscribe-all).
    EXPECT_EQ(count_records_starting(log4cxx::Level::DEBUG_INT, "Adding Topic "), c.filters.size() + 1);
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

class subscription_filter_test : public library_test, public testing::WithParamInterface<filter_case> {};

TEST_P(subscription_filter_test, against_library_publisher)
{
    check_filter_case(GetParam(), peer_kind::library, queue_url("filter"));
}

TEST_P(subscription_filter_test, against_raw_publisher)
{
    check_filter_case(GetParam(), peer_kind::raw, queue_url("filter"));
}

INSTANTIATE_TEST_SUITE_P(filters, subscription_filter_test, testing::ValuesIn(filter_cases), case_name);

TEST_F(subscribe_socket_test, receive_without_filter_subscribes_to_everything_once)
{
    vorzmq_context context;
    const std::string url = queue_url("all");
    raw_socket pub(ZMQ_PUB);
    pub.bind(url);
    vorzmq_sub_socket sub(context, url);
    sub.set_receive_timeout_ms(receive_limit_ms);
    ASSERT_TRUE(sync(raw_publisher(pub, "any$"), library_receiver(sub)));

    for (const std::string frame : {"a$", "$", "zz$", "long/topic$"}) {
        pub.send_frames({frame, with_zero("via " + frame)});
    }
    pub.send_frames({"q$", with_zero("end")});
    EXPECT_EQ(texts_until(sub, "end"), std::optional<text_list>({"via a$", "via $", "via zz$", "via long/topic$"}));
    // Many receives ran; only the first had no filter to go by.
    EXPECT_EQ(count_records(log4cxx::Level::DEBUG_INT, "Adding Topic  for URL: " + url), 1u);
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

TEST_F(subscribe_socket_test, stream_receive_appends_text_up_to_first_zero_byte)
{
    struct stream_case {
        std::string data;
        std::string appended;
    };
    const std::vector<stream_case> cases = {
        {"first", "first"},
        {"", ""},
        {std::string("ab\0cd", 5), "ab"},
        {"second", "second"},
    };
    vorzmq_context context;
    const std::string url = queue_url("stream");
    vorzmq_pub_socket pub(context, url);
    vorzmq_sub_socket sub(context, url);
    ASSERT_TRUE(joined(sub, library_publisher(pub, "t")));

    std::stringstream stream;
    stream << "pre:";
    std::string expected = "pre:";
    for (const auto& c : cases) {
        SCOPED_TRACE("data " + testing::PrintToString(c.data));
        pub.send("t", c.data);
        ASSERT_TRUE(sub.receive(stream));
        expected += c.appended;
        EXPECT_EQ(stream.str(), expected);
    }

    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());

    // The working buffer keeps its last byte for the terminating zero; the
    // cut is told.
    const size_t longest_text = 4194303;
    pub.send("t", std::string(longest_text + 10, 'x'));
    std::stringstream long_stream;
    ASSERT_TRUE(sub.receive(long_stream));
    EXPECT_EQ(vorzmq_last_result(), vorzmq_result::truncated);
    const std::string long_text = long_stream.str();
    EXPECT_EQ(long_text.size(), longest_text);
    EXPECT_TRUE(std::all_of(long_text.begin(), long_text.end(), [](char c) { return c == 'x'; }));
    EXPECT_EQ(problems(), text_list{"WARN Insufficient Buffer Size (4194303 < 4194314) -- Message Truncated"});
}

TEST_F(subscribe_socket_test, buffer_receive_copies_at_most_the_buffer_size)
{
    struct buffer_case {
        std::string data;
        size_t buffer_size;
    };
    const std::vector<buffer_case> cases = {
        {"xyz", 8},                        // longer: text, zero byte, rest untouched
        {"xyz", 4},                        // one longer than the text: text and zero byte
        {"xyz", 3},                        // as long as the text: no zero byte
        {"xyz", 2},                        // shorter: cut
        {"xyz", 0},                        // nothing copied, still delivered
        {std::string("ab\0cd", 5), 8},     // inner zero byte copied like any other
        {"", 8},                           // empty data: the zero byte alone
    };
    constexpr char untouched = '#';
    vorzmq_context context;
    const std::string url = queue_url("buffer");
    vorzmq_pub_socket pub(context, url);
    vorzmq_sub_socket sub(context, url);
    ASSERT_TRUE(joined(sub, library_publisher(pub, "t")));

    for (const auto& c : cases) {
        SCOPED_TRACE("data " + testing::PrintToString(c.data) + ", size " + std::to_string(c.buffer_size));
        std::array<char, 8> buffer;
        buffer.fill(untouched);
        pub.send("t", c.data);
        captured_log().clear();
        ASSERT_TRUE(sub.receive(buffer.data(), c.buffer_size));
        const std::string frame = with_zero(c.data);
        const size_t copied = std::min(c.buffer_size, frame.size());
        const std::string expected = frame.substr(0, copied) + std::string(buffer.size() - copied, untouched);
        EXPECT_EQ(std::string(buffer.data(), buffer.size()), expected);
        const bool cut = copied < frame.size();
        EXPECT_EQ(vorzmq_last_result(), cut ? vorzmq_result::truncated : vorzmq_result::ok);
        EXPECT_EQ(problems(), cut ? text_list{"WARN Insufficient Buffer Size (" + std::to_string(c.buffer_size) +
                                              " < " + std::to_string(frame.size()) + ") -- Message Truncated"}
                                  : text_list{});
    }
}

TEST_F(subscribe_socket_test, whole_message_receive_gives_the_data_as_published)
{
    struct whole_case {
        std::vector<std::string> frames;  // as sent by a raw publisher
        std::string topic;
        std::string data;
    };
    const std::vector<whole_case> cases = {
        {{"t$", with_zero("xyz")}, "t", "xyz"},
        {{"t$", with_zero("")}, "t", ""},
        {{"t$", with_zero(std::string("a\0\nb\0", 5))}, "t", std::string("a\0\nb\0", 5)},
        {{"t$", "no zero"}, "t", "no zero"},  // another publisher's frame, taken whole
        {{"t$", ""}, "t", ""},
        {{"t$", with_zero(std::string(5'000'000, 'x')), "extra"}, "t", std::string(5'000'000, 'x')},
    };
    vorzmq_context context;
    const std::string url = queue_url("whole");
    raw_socket pub(ZMQ_PUB);
    pub.bind(url);
    vorzmq_sub_socket sub(context, url);
    ASSERT_TRUE(joined(sub, raw_publisher(pub, "t$")));
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.data.substr(0, 16)));
        pub.send_frames(c.frames);
        std::string data = "stale";
        std::string topic;
        ASSERT_TRUE(sub.receive(data, topic));
        EXPECT_EQ(topic, c.topic);
        EXPECT_EQ(data, c.data);
        EXPECT_EQ(vorzmq_last_result(), vorzmq_result::ok);
    }
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

class message_shape_test : public library_test, public testing::WithParamInterface<bool> {};

// What one receive delivers, read into a stream or into a buffer.
std::optional<std::string> receive_text(vorzmq_sub_socket& sub, bool into_buffer)
{
    if (into_buffer) {
        std::array<char, 64> buffer{};
        if (!sub.receive(buffer.data(), buffer.size() - 1)) {
            return std::nullopt;
        }
        return std::string(buffer.data());
    }
    std::stringstream stream;
    if (!sub.receive(stream)) {
        return std::nullopt;
    }
    return stream.str();
}

TEST_P(message_shape_test, one_frame_messages_are_skipped_and_extra_frames_dropped)
{
    const bool into_buffer = GetParam();
    vorzmq_context context;
    const std::string url = queue_url("shape");
    raw_socket pub(ZMQ_PUB);
    pub.bind(url);
    vorzmq_sub_socket sub(context, url);
    ASSERT_TRUE(joined(sub, raw_publisher(pub, "t$")));

    pub.send_frames({"t$"});
    pub.send_frames({"t$", with_zero("one"), "extra", with_zero("more")});
    pub.send_frames({"t$"});
    pub.send_frames({"t$", with_zero("two")});
    EXPECT_EQ(receive_text(sub, into_buffer), std::optional<std::string>("one"));
    EXPECT_EQ(receive_text(sub, into_buffer), std::optional<std::string>("two"));
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

// A peer that sends messages of one frame only cannot hold a receive past
// its time-out, nor keep one without a time-out waiting once the poller has
// found the socket readable.
TEST_F(subscribe_socket_test, one_frame_flood_cannot_stretch_a_receive)
{
    vorzmq_context context;
    const std::string url = queue_url("flood");
    raw_socket pub(ZMQ_PUB);
    pub.bind(url);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        for (int i = 0; i < 1500 && !stop; ++i) {  // 15 s at the most
            pub.send_frames({"t$"});
            std::this_thread::sleep_for(10ms);
        }
    });
    for (const int32_t timeout_ms : {300, -1}) {
        SCOPED_TRACE(timeout_ms);
        vorzmq_sub_socket sub(context, url);
        sub.set_receive_timeout_ms(timeout_ms);
        sub.add_topic("t");
        vorzmq_poller poller;
        poller.add(sub);
        ASSERT_EQ(poller.wait(10000), 1);
        const auto started = std::chrono::steady_clock::now();
        std::stringstream data;
        EXPECT_FALSE(sub.receive(data));
        EXPECT_EQ(vorzmq_last_result(), vorzmq_result::no_reply);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    }
    stop = true;
    flood.join();
}

INSTANTIATE_TEST_SUITE_P(receives, message_shape_test, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& param_info) {
                             return std::string(param_info.param ? "buffer" : "stream");
                         });

struct wait_case {
    const char* name;
    std::optional<int32_t> timeout_ms;  // none: the default, no limit
    int flags;
    std::string record;
};

void PrintTo(const wait_case& c, std::ostream* out)
{
    *out << c.name;
}

class receive_timeout_test : public library_test, public testing::WithParamInterface<wait_case> {};

TEST_P(receive_timeout_test, nothing_waiting_is_a_trace_and_keeps_the_socket)
{
    const auto& c = GetParam();
    vorzmq_context context;
    vorzmq_sub_socket sub(context, queue_url("silent"));
    if (c.timeout_ms) {
        sub.set_receive_timeout_ms(*c.timeout_ms);
    }
    sub.set_receive_flags(c.flags);
    reset_faults();

    std::stringstream stream;
    std::array<char, 8> buffer{};
    EXPECT_FALSE(sub.receive(stream));
    EXPECT_FALSE(sub.receive(buffer.data(), buffer.size()));
    EXPECT_EQ(stream.str(), "");
    EXPECT_EQ(count_records(log4cxx::Level::TRACE_INT, c.record), 2u) << testing::PrintToString(all_messages());
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
    EXPECT_EQ(library_calls(zmq_call::socket), 1);
    EXPECT_EQ(library_calls(zmq_call::close), 0);
}

INSTANTIATE_TEST_SUITE_P(
    waits, receive_timeout_test,
    testing::Values(wait_case{"zero_timeout", 0, 0, "No Message Topic Received Before Timeout: 0ms"},
                    wait_case{"short_timeout", 20, 0, "No Message Topic Received Before Timeout: 20ms"},
                    // The record prints the stored timeout, whatever caused the EAGAIN.
                    wait_case{"dontwait_only", std::nullopt, ZMQ_DONTWAIT,
                              "No Message Topic Received Before Timeout: -1ms"},
                    wait_case{"dontwait_with_long_timeout", 60000, ZMQ_DONTWAIT,
                              "No Message Topic Received Before Timeout: 60000ms"}),
    case_name);

struct receive_fault_case {
    const char* name;
    bool into_buffer;
    zmq_call call;  // the buffer receive reads its data frame with zmq_recv
    int skip;       // 1: the topic frame is read, the data frame's read fails
    int error;
    std::string record;
    bool resets;
};

void PrintTo(const receive_fault_case& c, std::ostream* out)
{
    *out << c.name;
}

std::vector<receive_fault_case> receive_fault_cases()
{
    const std::string closing = " -- Closing Socket on Unexpected Error";
    const std::string topic_failure = "ERROR Failed to Receive Message Topic -- ZMQ Error: ";
    const std::string data_failure = "ERROR Failed to Receive Message -- ZMQ Error: ";
    const std::string data_timeout = "TRACE No Messages Received Before Timeout: " + std::to_string(receive_limit_ms) + "ms";
    return {
        {"stream_topic_frame_fault", false, zmq_call::msg_recv, 0, EFAULT,
         topic_failure + error_text(EFAULT) + closing, true},
        {"stream_data_frame_fault", false, zmq_call::msg_recv, 1, EFAULT,
         data_failure + error_text(EFAULT) + closing, true},
        {"buffer_topic_frame_context_terminated", true, zmq_call::msg_recv, 0, ETERM,
         topic_failure + error_text(ETERM) + closing, true},
        {"buffer_data_frame_fault", true, zmq_call::msg_recv, 1, EFAULT, data_failure + error_text(EFAULT) + closing,
         true},
        {"stream_data_frame_timed_out", false, zmq_call::msg_recv, 1, EAGAIN, data_timeout, false},
        {"stream_topic_frame_interrupted", false, zmq_call::msg_recv, 0, EINTR,
         "TRACE Receive Interrupted by a Signal -- Socket Kept", false},
        {"buffer_data_frame_timed_out", true, zmq_call::msg_recv, 1, EAGAIN, data_timeout, false},
    };
}

class receive_fault_test : public library_test, public testing::WithParamInterface<receive_fault_case> {};

TEST_P(receive_fault_test, subscriber_keeps_exactly_its_topics_after_a_failed_receive)
{
    const auto& c = GetParam();
    vorzmq_context context;
    const std::string url = queue_url("refault");
    vorzmq_pub_socket pub(context, url);
    vorzmq_sub_socket sub(context, url);
    sub.set_receive_timeout_ms(receive_limit_ms);
    sub.add_topic("wanted");
    sub.add_topic("pre", false);
    ASSERT_TRUE(sync(library_publisher(pub, "wanted"), library_receiver(sub)));
    reset_faults();
    captured_log().clear();

    pub.send("wanted", "lost");
    arm_fault(c.call, c.error, 1, c.skip);
    std::stringstream stream;
    std::array<char, 16> buffer{};
    const bool received = c.into_buffer ? sub.receive(buffer.data(), buffer.size()) : sub.receive(stream);
    EXPECT_FALSE(received);
    EXPECT_EQ(injected_failures(), 1);
    EXPECT_EQ(all_messages(), text_list{c.record});

    reset_faults();
    captured_log().clear();
    // The first receive here re-creates a broken socket; the new one must
    // carry both filters again, and nothing else.
    ASSERT_TRUE(sync(library_publisher(pub, "wanted"), library_receiver(sub)));
    const text_list log = all_messages();
    if (c.resets) {
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[0], "WARN Closing Socket");
        EXPECT_EQ(log[1], "DEBUG Initializing Sub Socket to: " + url);
    }
    EXPECT_EQ(library_calls(zmq_call::socket), c.resets ? 1 : 0);
    EXPECT_EQ(count_records(log4cxx::Level::WARN_INT, "Closing Socket"), c.resets ? 1u : 0u);
    EXPECT_EQ(count_records(log4cxx::Level::DEBUG_INT, "Adding Topic  for URL: " + url), 0u);

    for (const std::string topic : {"other", "wantedx", "wante", "", "prefixed"}) {
        pub.send(topic, "from " + topic);
    }
    pub.send("wanted", "hit");
    pub.send("wanted", "end");
    EXPECT_EQ(texts_until(sub, "end"), std::optional<text_list>({"from prefixed", "hit"}));
    EXPECT_EQ(problems().size(), c.resets ? 1u : 0u) << testing::PrintToString(problems());
}

INSTANTIATE_TEST_SUITE_P(faults, receive_fault_test, testing::ValuesIn(receive_fault_cases()), case_name);

TEST_F(subscribe_socket_test, filter_asked_for_without_socket_is_in_force_once_one_exists)
{
    vorzmq_context context;
    const std::string url = queue_url("nosocket");
    raw_socket pub(ZMQ_PUB);
    pub.bind(url);
    vorzmq_sub_socket sub(context, url);
    sub.set_receive_timeout_ms(receive_limit_ms);
    captured_log().clear();

    arm_fault(zmq_call::socket, EMFILE);
    sub.add_topic("wanted");
    EXPECT_EQ(all_messages(),
              (text_list{"DEBUG Initializing Sub Socket to: " + url,
                         "ERROR ZMQ Socket Init Failed -- " + error_text(EMFILE),
                         "DEBUG Adding Topic wanted$ for URL: " + url}));

    captured_log().clear();
    ASSERT_TRUE(sync(raw_publisher(pub, "wanted$"), library_receiver(sub)));
    EXPECT_EQ(count_records(log4cxx::Level::DEBUG_INT, "Adding Topic  for URL: " + url), 0u);
    for (const std::string frame : {"other$", "wantedx$", "$", "wanted"}) {
        pub.send_frames({frame, with_zero("via " + frame)});
    }
    pub.send_frames({"wanted$", with_zero("hit")});
    pub.send_frames({"wanted$", with_zero("end")});
    EXPECT_EQ(texts_until(sub, "end"), std::optional<text_list>({"hit"}));
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

class empty_url_subscriber_test : public library_test, public testing::WithParamInterface<bool> {};

TEST_P(empty_url_subscriber_test, every_operation_fails_to_connect_and_receive_reports_no_socket)
{
    const bool into_buffer = GetParam();
    vorzmq_context context;
    vorzmq_sub_socket sub(context, "");
    captured_log().clear();

    std::stringstream stream;
    std::array<char, 8> buffer{};
    const bool received = into_buffer ? sub.receive(buffer.data(), buffer.size()) : sub.receive(stream);
    EXPECT_FALSE(received);
    const std::string connect_failure =
        "ERROR Failed to Connect to ZMQ URL:  -- " + empty_endpoint_error(false) + " -- Closing Socket";
    // One attempt: its subscribe-all is only recorded for the next socket.
    EXPECT_EQ(all_messages(),
              (text_list{"DEBUG Initializing Sub Socket to: ", connect_failure, "DEBUG Adding Topic  for URL: ",
                         into_buffer ? "ERROR Cannot Receive Messages without Valid Socket"
                                     : "ERROR Cannot Receive Request without Valid Socket"}));
    EXPECT_EQ(library_calls(zmq_call::recv) + library_calls(zmq_call::msg_recv), 0);
}

INSTANTIATE_TEST_SUITE_P(receives, empty_url_subscriber_test, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& param_info) {
                             return std::string(param_info.param ? "buffer" : "stream");
                         });

}  // namespace

// SPDX-License-Identifier: MIT
// The topic-data envelope of build_json and the re-broadcast request.
#include <zmq.h>

#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "fixture.h"
#include "vorzmq.h"

using namespace vorzmq_test;

namespace {

using text_list = std::vector<std::string>;

// Parsed with JsonCpp's current reader (comments allowed), independent of
// the reader the library uses.
std::optional<Json::Value> parse(const std::string& text)
{
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    Json::Value value;
    std::string errors;
    std::istringstream in(text);
    if (!Json::parseFromStream(builder, in, &value, &errors)) {
        return std::nullopt;
    }
    return value;
}

std::string nested_arrays(size_t depth, bool closed)
{
    return std::string(depth, '[') + std::string(closed ? depth : 0, ']');
}

// ---------------------------------------------------------------- build_json

struct envelope_case {
    const char* name;
    std::string topic;
    std::string data;
    std::string comment;  // a comment of the data that the text must carry, or empty
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const envelope_case& c, std::ostream* out)
{
    *out << c.name;
}

const std::vector<envelope_case> envelope_cases = {
    {"integer", "alarm", "42", ""},
    {"negative_fraction", "alarm", "-1.5", ""},
    {"string", "alarm", "\"text with \\\"quotes\\\"\"", ""},
    {"boolean", "alarm", "true", ""},
    {"null", "alarm", "null", ""},
    {"object", "alarm", "{\"a\": 1, \"b\": [1, 2, {\"c\": null}]}", ""},
    {"array", "alarm", "[1, \"x\", null, false]", ""},
    {"line_comment", "alarm", "// lead\n{\"a\": 1}", "// lead"},
    {"block_comment", "alarm", "{\"a\": /* inner */ 1}", "/* inner */"},
    {"surrounding_white_space", "alarm", " \n\t7 \n", ""},
    {"empty_topic", "", "1", ""},
    {"topic_ending_in_dollar", "x$", "1", ""},
    {"quotes_in_topic", "say \"hi\"", "1", ""},
    {"control_characters_in_topic", "line\nbreak\ttab\x01" "bell\x07", "1", ""},
    {"utf8_topic", "caf\xc3\xa9", "1", ""},
};

class build_json_test : public library_test, public testing::WithParamInterface<envelope_case> {};

TEST_P(build_json_test, envelope_parses_back_to_topic_and_data)
{
    const auto& c = GetParam();
    std::stringstream out;
    ASSERT_TRUE(build_json(c.topic, c.data, out));
    const std::string text = out.str();

    // Nothing before or after the envelope's own text.
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.front(), '{');
    EXPECT_EQ(text.back(), '}');
    const auto envelope = parse(text);
    ASSERT_TRUE(envelope.has_value()) << text;
    ASSERT_TRUE(envelope->isObject()) << text;
    EXPECT_EQ(envelope->getMemberNames(), (text_list{"data", "topic"}));
    EXPECT_EQ((*envelope)["topic"], Json::Value(c.topic)) << text;
    const auto data = parse(c.data);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ((*envelope)["data"], *data) << text;
    // The indented form, with "data" written before "topic".
    EXPECT_NE(text.find('\n'), std::string::npos) << text;
    EXPECT_LT(text.find("\"data\""), text.find("\"topic\"")) << text;
    if (!c.comment.empty()) {
        EXPECT_NE(text.find(c.comment), std::string::npos) << text;
    }
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
}

INSTANTIATE_TEST_SUITE_P(envelopes, build_json_test, testing::ValuesIn(envelope_cases), case_name);

class envelope_test : public library_test {};

TEST_F(envelope_test, build_json_appends_envelopes_back_to_back)
{
    std::stringstream first;
    std::stringstream second;
    ASSERT_TRUE(build_json("a", "1", first));
    ASSERT_TRUE(build_json("b", "[2]", second));
    ASSERT_NE(first.str(), second.str());

    std::stringstream both;
    both << "pre:";
    ASSERT_TRUE(build_json("a", "1", both));
    ASSERT_TRUE(build_json("b", "[2]", both));
    EXPECT_EQ(both.str(), "pre:" + first.str() + second.str());
}

struct invalid_case {
    const char* name;
    std::string data;
};

void PrintTo(const invalid_case& c, std::ostream* out)
{
    *out << c.name;
}

const std::vector<invalid_case> invalid_cases = {
    {"empty", ""},
    {"white_space_only", " \n"},
    {"unclosed_object", "{"},
    {"missing_value", "{\"a\":}"},
    {"missing_comma", "[1 2]"},
    {"bare_word", "alarm"},
    {"single_quotes", "'x'"},
    // JsonCpp's reader throws past 1,000 levels; that must read as invalid.
    {"deeply_nested", nested_arrays(5000, true)},
    {"deeply_nested_unclosed", nested_arrays(5000, false)},
};

class invalid_json_test : public library_test, public testing::WithParamInterface<invalid_case> {};

TEST_P(invalid_json_test, build_json_refuses_and_leaves_stream_untouched)
{
    const auto& c = GetParam();
    std::stringstream out;
    out << "pre";
    bool built = true;
    EXPECT_NO_THROW(built = build_json("alarm", c.data, out));
    EXPECT_FALSE(built);
    EXPECT_EQ(out.str(), "pre");
    out << "|post";
    EXPECT_EQ(out.str(), "pre|post");  // still usable, write position unchanged
    EXPECT_TRUE(all_messages().empty()) << testing::PrintToString(all_messages());
}

TEST_P(invalid_json_test, rebrdcst_logs_and_never_touches_its_socket)
{
    const auto& c = GetParam();
    vorzmq_context context;
    vorzmq_rebrdcst_socket rebrdcst(context, queue_url("invalid"));
    reset_faults();
    captured_log().clear();

    EXPECT_NO_THROW(rebrdcst.rebrdcst("alarm", c.data));
    EXPECT_EQ(all_messages(), text_list{"ERROR Invalid JSON Passed for Re-Broadcast: " + c.data});
    EXPECT_EQ(library_calls(zmq_call::socket), 0);
    EXPECT_EQ(library_calls(zmq_call::connect), 0);
    EXPECT_EQ(library_calls_total(), 0);
}

INSTANTIATE_TEST_SUITE_P(invalid, invalid_json_test, testing::ValuesIn(invalid_cases), case_name);

// ---------------------------------------------------------------- re-broadcast

struct request_case {
    const char* name;
    std::string topic;
    std::string data;
    std::string request;  // as the service receives it
};

void PrintTo(const request_case& c, std::ostream* out)
{
    *out << c.name;
}

const std::vector<request_case> request_cases = {
    {"alarm_42", "alarm", "42", "{\"data\":42,\"topic\":\"alarm$\"}\n"},  // 29 characters
    {"empty_topic_gets_no_dollar", "", "\"v\"", "{\"data\":\"v\",\"topic\":\"\"}\n"},
    {"topic_ending_in_dollar_gets_another", "x$", "null", "{\"data\":null,\"topic\":\"x$$\"}\n"},
    {"comments_dropped", "c", "// lead\n{\"a\" : 1 /* inner */}\n", "{\"data\":{\"a\":1},\"topic\":\"c$\"}\n"},
    {"spaces_and_line_breaks_compacted", "s", "{\n  \"b\" : [ 1,\n    2 ],\n  \"a\" : \"t u\"\n}\n",
     "{\"data\":{\"a\":\"t u\",\"b\":[1,2]},\"topic\":\"s$\"}\n"},
    {"quotes_in_topic_escaped", "say \"hi\"", "true", "{\"data\":true,\"topic\":\"say \\\"hi\\\"$\"}\n"},
};

class rebrdcst_request_test : public library_test, public testing::WithParamInterface<request_case> {};

TEST_P(rebrdcst_request_test, raw_service_receives_the_compact_request)
{
    const auto& c = GetParam();
    vorzmq_context context;
    const std::string url = queue_url("service");
    raw_socket service(ZMQ_REP);
    service.bind(url);
    std::optional<text_list> request;
    std::thread peer([&] {
        request = service.receive_frames();
        if (request) {
            service.send_frames({std::string("ok\0", 3)});
        }
    });
    vorzmq_rebrdcst_socket rebrdcst(context, url);
    EXPECT_TRUE(rebrdcst.valid());
    rebrdcst.rebrdcst(c.topic, c.data);
    peer.join();

    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(*request, text_list{c.request});
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

INSTANTIATE_TEST_SUITE_P(requests, rebrdcst_request_test, testing::ValuesIn(request_cases), case_name);

class rebrdcst_test : public library_test {};

TEST_F(rebrdcst_test, rebrdcst_to_a_reply_socket_standing_as_the_service)
{
    vorzmq_context context;
    const std::string url = queue_url("service");
    vorzmq_reply_socket service(context, url);
    // Bound before the request, whose wait for the OK reply is 1000 ms.
    service.init_if_necessary();
    std::stringstream received;
    bool got = false;
    std::thread serve([&] {
        for (int attempt = 0; attempt < 10 && !got; ++attempt) {
            got = service.receive(received, true);
        }
    });
    vorzmq_rebrdcst_socket rebrdcst(context, url);
    rebrdcst.rebrdcst("status", "{ \"n\" : [1, 2],\n \"ok\" : true }");
    serve.join();

    EXPECT_TRUE(got);
    EXPECT_EQ(received.str(), "{\"data\":{\"n\":[1,2],\"ok\":true},\"topic\":\"status$\"}\n");
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

}  // namespace

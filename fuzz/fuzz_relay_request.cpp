// SPDX-License-Identifier: MIT
// The relay's request check with any bytes. An even first byte: the rest is
// a request as a peer may send it; the check never throws, answers "ok" only
// for what it publishes, and publishes data that is the request's own. An odd
// first byte: a topic and data as a host hands them to the library's
// re-broadcast socket, which the relay must then publish unchanged.
#include <json/value.h>
#include <json/writer.h>

#include "harness.h"
#include "relay_request.h"

using namespace vorzmq_fuzz;
using vorzmq_tool::examine_relay_request;
using vorzmq_tool::compact_json;
using vorzmq_tool::relay_reply;

namespace {

vorzmq_tool::relay_request examine(const std::string& text)
{
    try {
        return examine_relay_request(text);
    } catch (...) {
        fail("the request check threw");
    }
}

void peer_request(const std::string& text)
{
    const auto request = examine(text);
    const std::string reply = relay_reply(request.reason);
    if (reply.empty() || reply.back() != '\0') {
        fail("reply without its zero byte");
    }
    if (!request.reason.empty()) {
        if (reply.compare(0, 7, "error: ") != 0) {
            fail("refused request answered with " + reply);
        }
        return;
    }
    if (reply != std::string("ok", 3)) {
        fail("published request not acknowledged");
    }
    Json::Value published;
    if (!parse_json(request.data, published)) {
        fail("published what does not parse: " + request.data);
    }
    // The library's reader is laxer in some ways (trailing text) and stricter
    // in others (trailing commas); where it reads the request, it must agree.
    Json::Value sent;
    if (parse_json(text, sent) &&
        (!sent.isObject() || sent["topic"] != Json::Value(request.topic) || !(sent["data"] == published))) {
        fail("published other than was sent: " + request.topic + " " + request.data);
    }
}

void library_request(const std::string& topic, const std::string& data)
{
    Json::Value parsed;
    if (!parse_json(data, parsed) || !well_formed_utf8(topic) || !text_survives_json(parsed)) {
        return;
    }
    // The text the library's re-broadcast socket sends.
    Json::Value envelope;
    envelope["topic"] = topic.empty() ? topic : topic + '$';
    envelope["data"] = parsed;
    const auto request = examine(compact_json(envelope));
    if (!request.reason.empty()) {
        fail("refused what the library sends: " + request.reason);
    }
    if (request.topic != envelope["topic"].asString() || request.data != compact_json(parsed)) {
        fail("changed on the way: " + request.topic + " " + request.data);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    input_reader in(data, size);
    if (in.byte() % 2 == 0) {
        peer_request(in.rest());
        return 0;
    }
    const std::string topic = in.text(in.byte());
    library_request(topic, in.rest());
    return 0;
}

// SPDX-License-Identifier: MIT
// What the relay makes of one re-broadcast request: the message to publish,
// or the reason it is refused. Pure: no socket, no log, so that a fuzzer can
// drive it with any bytes.
#ifndef VORZMQ_TOOL_RELAY_REQUEST_H
#define VORZMQ_TOOL_RELAY_REQUEST_H

#include <cstddef>
#include <string>
#include <string_view>

#include <json/value.h>

namespace vorzmq_tool {

// The longest request the relay takes: the longest text the library's
// reply socket hands over.
constexpr std::size_t longest_relay_request = 4194303;
// Deeper JSON is refused (JsonCpp would throw). The library's JSON reader
// takes at most 1000 levels, and a request wraps its data in one more: so
// the relay takes everything the library's re-broadcast socket sends, and
// publishes only data that the library can read back.
constexpr int deepest_relay_nesting = 1001;

struct relay_request {
    std::string reason;  // empty: publish `topic` with `data`
    std::string topic;   // as requested, its "$" included
    std::string data;    // compact JSON of the request's "data", no line feed
};

// A request is published only when it is non-empty, at most
// longest_relay_request bytes, free of zero bytes, well-formed UTF-8 (its
// text and every string its escapes decode to), JSON of at most
// deepest_relay_nesting levels with nothing after it, and an object with a
// string "topic" and a "data" member. Never throws but for a failed
// allocation.
relay_request examine_relay_request(std::string_view text);

// The compact JSON text the library's re-broadcast socket writes, without
// its final line feed, so that data passes through the relay unchanged.
std::string compact_json(const Json::Value& value);

// The reply to a request: "ok" when it was published, otherwise "error: "
// and the reason. Each ends in one zero byte, as the library's OK reply does.
std::string relay_reply(const std::string& reason);

}  // namespace vorzmq_tool

#endif

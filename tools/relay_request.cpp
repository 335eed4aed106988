// SPDX-License-Identifier: MIT
#include "relay_request.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include <json/reader.h>
#include <json/writer.h>

namespace vorzmq_tool {

namespace {

bool well_formed_utf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        std::uint32_t code = lead;
        std::uint32_t lowest = 0;
        if (lead >= 0x80) {
            if ((lead & 0xE0) == 0xC0) {
                length = 2, code = lead & 0x1F, lowest = 0x80;
            } else if ((lead & 0xF0) == 0xE0) {
                length = 3, code = lead & 0x0F, lowest = 0x800;
            } else if ((lead & 0xF8) == 0xF0) {
                length = 4, code = lead & 0x07, lowest = 0x10000;
            } else {
                return false;
            }
            if (text.size() - i < length) {
                return false;
            }
            for (std::size_t k = 1; k < length; ++k) {
                const auto next = static_cast<unsigned char>(text[i + k]);
                if ((next & 0xC0) != 0x80) {
                    return false;
                }
                code = (code << 6) | (next & 0x3F);
            }
            // Overlong forms, surrogates and code points past Unicode.
            if (code < lowest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// Whether every string and member name in `value` is well-formed UTF-8. An
// escape such as "\udc00" (a lone surrogate) decodes to bytes that are not,
// and JsonCpp's writer would then publish other text than was sent.
bool well_formed_strings(const Json::Value& value)
{
    if (value.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        value.getString(&begin, &end);
        return well_formed_utf8(std::string_view(begin, static_cast<std::size_t>(end - begin)));
    }
    for (auto member = value.begin(); member != value.end(); ++member) {
        if ((value.isObject() && !well_formed_utf8(member.name())) || !well_formed_strings(*member)) {
            return false;
        }
    }
    return true;
}

// Empty when the text parses; otherwise the reason it does not.
std::string parse(std::string_view text, Json::Value& value)
{
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = deepest_relay_nesting;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
            return "not JSON";
        }
    } catch (const Json::Exception&) {
        // JsonCpp throws, rather than fails, when it passes its stack limit.
        return "nested too deeply";
    }
    return {};
}

// Why the request cannot be published, or empty when it can.
std::string reject_reason(std::string_view text, Json::Value& request)
{
    if (text.empty()) {
        return "empty";
    }
    if (text.size() > longest_relay_request) {
        return "too long";
    }
    if (std::memchr(text.data(), 0, text.size()) != nullptr) {
        return "zero byte";
    }
    if (!well_formed_utf8(text)) {
        return "not UTF-8";
    }
    std::string reason = parse(text, request);
    if (!reason.empty()) {
        return reason;
    }
    if (!well_formed_strings(request)) {
        return "not UTF-8";
    }
    if (!request.isObject()) {
        return "not a JSON object";
    }
    if (!request.isMember("topic") || !request["topic"].isString()) {
        return "no string \"topic\"";
    }
    if (!request.isMember("data")) {
        return "no \"data\"";
    }
    return {};
}

}  // namespace

// The compact form the library's re-broadcast socket writes, so that data
// passes through the relay unchanged; without the final line feed.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string compact_json(const Json::Value& value)
{
    Json::FastWriter writer;
    writer.omitEndingLineFeed();
    return writer.write(value);
}
#pragma GCC diagnostic pop

relay_request examine_relay_request(std::string_view text)
{
    relay_request result;
    Json::Value request;
    result.reason = reject_reason(text, request);
    if (result.reason.empty()) {
        result.topic = request["topic"].asString();
        result.data = compact_json(request["data"]);
    }
    return result;
}

std::string relay_reply(const std::string& reason)
{
    std::string reply = reason.empty() ? "ok" : "error: " + reason;
    reply.push_back('\0');
    return reply;
}

}  // namespace vorzmq_tool

// SPDX-License-Identifier: MIT
// The tool's printed lines for any topic and data a peer may send: each is
// exactly one line free of control characters in every format, text leaves
// a message without control characters as it is and escapes the others
// reversibly, and hex, base64 and json give back every byte.
#include <string>

#include <json/value.h>

#include "harness.h"
#include "message_format.h"

using namespace vorzmq_fuzz;
using vorzmq_tool::message_line;
using vorzmq_tool::output_format;

namespace {

int digit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    fail(std::string("not a hex digit: ") + c);
}

std::string from_hex(const std::string& hex)
{
    if (hex.size() % 2 != 0) {
        fail("odd hex: " + hex);
    }
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes += static_cast<char>(digit(hex[i]) << 4 | digit(hex[i + 1]));
    }
    return bytes;
}

std::string from_base64(const std::string& text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) {
        fail("base64 not in groups of four: " + text);
    }
    std::string bytes;
    unsigned bits = 0;
    int held = 0;
    for (const char c : text) {
        if (c == '=') {
            break;
        }
        const std::size_t value = alphabet.find(c);
        if (value == std::string::npos) {
            fail("not base64: " + text);
        }
        bits = bits << 6 | static_cast<unsigned>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes += static_cast<char>((bits >> held) & 0xff);
        }
    }
    return bytes;
}

// The text escapes undone.
std::string unescape(const std::string& text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) {
            fail("a lone backslash ends " + text);
        }
        switch (text[i]) {
        case '0': bytes += '\0'; break;
        case 't': bytes += '\t'; break;
        case 'n': bytes += '\n'; break;
        case 'r': bytes += '\r'; break;
        case '\\': bytes += '\\'; break;
        case 'x':
            if (i + 2 >= text.size()) {
                fail("short \\x escape in " + text);
            }
            bytes += static_cast<char>(digit(text[i + 1]) << 4 | digit(text[i + 2]));
            i += 2;
            break;
        default:
            fail("unknown escape in " + text);
        }
    }
    return bytes;
}

// Whether a terminal would act on something in `bytes`: a C0 control, DEL,
// a C1 control in UTF-8 or as a byte 0x80 to 0x9F right after ASCII, or a
// bidirectional embedding, override or isolate.
bool has_terminal_control(const std::string& bytes)
{
    const auto at = [&](std::size_t i) { return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u; };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned byte = at(i);
        if (byte < 0x20 || byte == 0x7f || (byte >= 0x80 && byte <= 0x9f && (i == 0 || at(i - 1) < 0x80)) ||
            (byte == 0xc2 && at(i + 1) >= 0x80 && at(i + 1) <= 0x9f) ||
            (byte == 0xe2 && at(i + 1) == 0x80 && at(i + 2) >= 0xaa && at(i + 2) <= 0xae) ||
            (byte == 0xe2 && at(i + 1) == 0x81 && at(i + 2) >= 0xa6 && at(i + 2) <= 0xa9)) {
            return true;
        }
    }
    return false;
}

// The bytes of a json member "name" or "name_base64" of `object`.
std::string member(const Json::Value& object, const std::string& name, const std::string& expected)
{
    if (object.isMember(name)) {
        if (!well_formed_utf8(expected)) {
            fail("json string member for malformed UTF-8: " + name);
        }
        return object[name].asString();
    }
    if (!object.isMember(name + "_base64") || well_formed_utf8(expected)) {
        fail("json member missing or base64 for UTF-8: " + name);
    }
    return from_base64(object[name + "_base64"].asString());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_logger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    input_reader in(data, size);
    const uint8_t shape = in.byte();
    const std::string topic = in.text(in.byte());
    const std::string bytes = in.rest();
    if (vorzmq_tool::well_formed_utf8(bytes) != well_formed_utf8(bytes)) {
        fail("UTF-8 checks disagree");
    }
    message_line line;
    line.has_topic = (shape & 1) != 0;
    line.topic = topic;
    line.data = bytes;
    for (const output_format format :
         {output_format::text, output_format::hex, output_format::base64, output_format::json}) {
        std::string out = "kept";
        vorzmq_tool::append_line(out, format, line);
        if (out.compare(0, 4, "kept") != 0 || out.back() != '\n') {
            fail("not one appended line");
        }
        const std::string printed = out.substr(4, out.size() - 5);
        if (has_terminal_control(printed)) {
            fail("a terminal control in a printed line");
        }
        if (format == output_format::json) {
            Json::Value object;
            if (!parse_json(printed, object) || !object.isObject()) {
                fail("json line does not parse: " + printed);
            }
            if (member(object, "data", bytes) != bytes ||
                (line.has_topic && member(object, "topic", topic) != topic)) {
                fail("json changed the bytes: " + printed);
            }
            continue;
        }
        // Without a kind: "TOPIC DATA" or "DATA"; neither field holds a space
        // but in text.
        std::string shown_data = printed;
        if (line.has_topic) {
            std::string shown_topic;
            if (format == output_format::text) {
                shown_topic = topic.empty() ? "(no topic)" : std::string();
                vorzmq_tool::append_text(shown_topic, topic);
            } else {
                vorzmq_tool::append_formatted(shown_topic, format, topic);
            }
            if (printed.compare(0, shown_topic.size() + 1, shown_topic + ' ') != 0) {
                fail("the topic does not lead the line: " + printed);
            }
            shown_data = printed.substr(shown_topic.size() + 1);
        }
        const std::string back = format == output_format::hex      ? from_hex(shown_data)
                                 : format == output_format::base64 ? from_base64(shown_data)
                                 : shown_data == bytes             ? bytes
                                                                   : unescape(shown_data);
        if (back != bytes) {
            fail("the printed data does not give back the bytes: " + printed);
        }
    }
    return 0;
}

// SPDX-License-Identifier: MIT
// How the tool prints a message it received: one line for each message in
// every format, whatever bytes a peer sent. Pure: no socket, no output, so
// that a fuzzer can drive it with any bytes.
#ifndef VORZMQ_TOOL_MESSAGE_FORMAT_H
#define VORZMQ_TOOL_MESSAGE_FORMAT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace vorzmq_tool {

// --output: text (escaped where needed), hex, base64 or json.
enum class output_format { text, hex, base64, json };

// The largest message the tool sends, and the largest request a binding
// socket of the library takes (ZMQ_MAXMSGSIZE): 4 MiB.
constexpr std::size_t longest_message = 4194304;

// The text format: `bytes` as they are when they hold no control character
// (a byte below 0x20, or 0x7f); otherwise each control character is written
// as an escape: \0 \t \n \r, or \xHH (two lower-case hex digits) for the
// others, and each backslash as \\. So a line never holds a control
// character, and a text that needed no escape prints unchanged.
void append_text(std::string& out, std::string_view bytes);

// Two lower-case hex digits per byte.
void append_hex(std::string& out, std::string_view bytes);

// Standard base64 (RFC 4648, with "=" padding).
void append_base64(std::string& out, std::string_view bytes);

// `bytes` in `format`, for the fields of a line (json: see append_json_field).
void append_formatted(std::string& out, output_format format, std::string_view bytes);

// One member of a JSON object: "name":"<bytes>" when `bytes` is well-formed
// UTF-8 (control characters, 0x7f too, as \n, \t, ... or \u00XX), else
// "name_base64":"<base64>". No separator before it.
void append_json_field(std::string& out, std::string_view name, std::string_view bytes);

// A JSON string of well-formed UTF-8 `text`, quotes included.
void append_json_string(std::string& out, std::string_view text);

// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or
// code points beyond U+10FFFF).
bool well_formed_utf8(std::string_view bytes);

// What a printed line holds: the message's data, and before it what the
// command shows of where it came from.
struct message_line {
    std::string_view kind;    // "acknowledged", "request", "message", or empty
    std::string_view source;  // the endpoint as the user named it, or empty
    bool has_topic = false;
    std::string_view topic;
    std::string_view data;
};

// Appends the line of a message, its line feed included. In text, hex and
// base64: "KIND SOURCE TOPIC: DATA" (for an empty kind "TOPIC DATA", or just
// "DATA"); the topic and the data are in the format (in text the empty topic
// is "(no topic)"), kind and source escaped as text. In json one object with
// members "kind", "endpoint", "topic" and "data" (each only where there is
// one; "topic" and "data" may be "topic_base64" and "data_base64").
void append_line(std::string& out, output_format format, const message_line& line);

}  // namespace vorzmq_tool

#endif

// SPDX-License-Identifier: MIT
#include "message_format.h"

#include "wire.h"

namespace vorzmq_tool {

using vorzmq::internal::append_escaped_byte;
using vorzmq::internal::next_text_unit;
using vorzmq::internal::text_unit;

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Whether any character of `bytes` could act on a terminal (see wire.h).
bool holds_escaped(std::string_view bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte >= 0x20 && byte < 0x7f) {
            ++at;
            continue;
        }
        const text_unit unit = next_text_unit(bytes.substr(at));
        if (unit.escaped) {
            return true;
        }
        at += unit.length;
    }
    return false;
}

}  // namespace

void append_text(std::string& out, std::string_view bytes)
{
    if (!holds_escaped(bytes)) {
        out.append(bytes);
        return;
    }
    out.reserve(out.size() + bytes.size() + 8);
    for (std::size_t at = 0; at < bytes.size();) {
        const text_unit unit = next_text_unit(bytes.substr(at));
        for (std::size_t i = at; i < at + unit.length; ++i) {
            if (bytes[i] == '\0') {
                out += "\\0";
            } else if (unit.escaped || bytes[i] == '\\') {
                append_escaped_byte(out, bytes[i], "\\x");
            } else {
                out += bytes[i];
            }
        }
        at += unit.length;
    }
}

void append_hex(std::string& out, std::string_view bytes)
{
    const std::size_t start = out.size();
    out.resize(start + 2 * bytes.size());
    char* next = out.data() + start;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        *next++ = hex_digits[byte >> 4];
        *next++ = hex_digits[byte & 0xf];
    }
}

void append_base64(std::string& out, std::string_view bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    const auto at = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned group = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
        out += alphabet[group >> 18];
        out += alphabet[(group >> 12) & 63];
        out += alphabet[(group >> 6) & 63];
        out += alphabet[group & 63];
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        const unsigned group = at(i) << 16 | (left == 2 ? at(i + 1) << 8 : 0);
        out += alphabet[group >> 18];
        out += alphabet[(group >> 12) & 63];
        out += left == 2 ? alphabet[(group >> 6) & 63] : '=';
        out += '=';
    }
}

bool well_formed_utf8(std::string_view bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const text_unit unit = next_text_unit(bytes.substr(at));
        if (!unit.well_formed) {
            return false;
        }
        at += unit.length;
    }
    return true;
}

void append_json_string(std::string& out, std::string_view text)
{
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const text_unit unit = next_text_unit(text.substr(at));
        if (unit.escaped && unit.length > 1) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out += hex_digits[(unit.code >> shift) & 0xf];
            }
        } else if (text[at] == '"') {
            out += "\\\"";
        } else if (unit.escaped || text[at] == '\\') {
            append_escaped_byte(out, text[at], "\\u00");
        } else {
            out.append(text.substr(at, unit.length));
        }
        at += unit.length;
    }
    out += '"';
}

void append_json_field(std::string& out, std::string_view name, std::string_view bytes)
{
    out += '"';
    out.append(name);
    if (well_formed_utf8(bytes)) {
        out += "\":";
        append_json_string(out, bytes);
        return;
    }
    out += "_base64\":\"";
    append_base64(out, bytes);
    out += '"';
}

void append_formatted(std::string& out, output_format format, std::string_view bytes)
{
    switch (format) {
    case output_format::hex:
        append_hex(out, bytes);
        break;
    case output_format::base64:
        append_base64(out, bytes);
        break;
    case output_format::json:
        append_json_field(out, "data", bytes);
        break;
    case output_format::text:
        append_text(out, bytes);
        break;
    }
}

void append_line(std::string& out, output_format format, const message_line& line)
{
    if (format == output_format::json) {
        out += '{';
        if (!line.kind.empty()) {
            append_json_field(out, "kind", line.kind);
            out += ',';
        }
        if (!line.source.empty()) {
            append_json_field(out, "endpoint", line.source);
            out += ',';
        }
        if (line.has_topic) {
            append_json_field(out, "topic", line.topic);
            out += ',';
        }
        append_json_field(out, "data", line.data);
        out += "}\n";
        return;
    }
    if (!line.kind.empty()) {
        append_text(out, line.kind);
    }
    if (!line.source.empty()) {
        out += ' ';
        append_text(out, line.source);
    }
    if (line.has_topic) {
        if (!line.kind.empty()) {
            out += ' ';
        }
        if (format == output_format::text && line.topic.empty()) {
            out += "(no topic)";
        } else {
            append_formatted(out, format, line.topic);
        }
    }
    if (!line.kind.empty()) {
        out += ": ";
    } else if (line.has_topic) {
        out += ' ';
    }
    append_formatted(out, format, line.data);
    out += '\n';
}

}  // namespace vorzmq_tool

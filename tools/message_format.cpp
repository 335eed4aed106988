// SPDX-License-Identifier: MIT
#include "message_format.h"

namespace vorzmq_tool {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

bool is_control(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7f;
}

// A byte as C and JSON both escape it (\t \n \r \\), a control byte as
// `control_prefix` and two hex digits, any other as it is.
void append_escaped(std::string& out, char c, const char* control_prefix)
{
    switch (c) {
    case '\t':
        out += "\\t";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\\':
        out += "\\\\";
        return;
    default:
        break;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (is_control(byte)) {
        out += control_prefix;
        out += hex_digits[byte >> 4];
        out += hex_digits[byte & 0xf];
    } else {
        out += c;
    }
}

}  // namespace

void append_text(std::string& out, std::string_view bytes)
{
    std::size_t plain = 0;
    while (plain < bytes.size() && !is_control(static_cast<unsigned char>(bytes[plain]))) {
        ++plain;
    }
    if (plain == bytes.size()) {
        out.append(bytes);
        return;
    }
    out.reserve(out.size() + bytes.size() + 8);
    for (const char c : bytes) {
        if (c == '\0') {
            out += "\\0";
        } else {
            append_escaped(out, c, "\\x");
        }
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
    const auto* next = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = next + bytes.size();
    while (next < end) {
        const unsigned char lead = *next;
        if (lead < 0x80) {
            ++next;
            continue;
        }
        std::size_t length = 0;
        unsigned code = 0;
        unsigned least = 0;
        if ((lead & 0xe0) == 0xc0) {
            length = 2, code = lead & 0x1f, least = 0x80;
        } else if ((lead & 0xf0) == 0xe0) {
            length = 3, code = lead & 0x0f, least = 0x800;
        } else if ((lead & 0xf8) == 0xf0) {
            length = 4, code = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - next) < length) {
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            if ((next[i] & 0xc0) != 0x80) {
                return false;
            }
            code = code << 6 | (next[i] & 0x3f);
        }
        if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            return false;
        }
        next += length;
    }
    return true;
}

void append_json_string(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        if (c == '"') {
            out += "\\\"";
        } else {
            append_escaped(out, c, "\\u00");
        }
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

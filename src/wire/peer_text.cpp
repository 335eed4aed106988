// SPDX-License-Identifier: MIT
// Text from peers, shown without letting it act on a terminal or pass for
// something else in a log.
#include "wire.h"

namespace vorzmq::internal {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// The code point of the well-formed UTF-8 sequence of `length` bytes at the
// start of `text`, or none.
bool decode(std::string_view text, size_t length, unsigned& code)
{
    static constexpr unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    static constexpr unsigned lead_bits[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    if (text.size() < length) {
        return false;
    }
    code = static_cast<unsigned char>(text[0]) & lead_bits[length];
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xc0) != 0x80) {
            return false;
        }
        code = code << 6 | (byte & 0x3f);
    }
    return code >= least[length] && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
}

bool acts_on_terminals(unsigned code)
{
    return code < 0x20 || (code >= 0x7f && code <= 0x9f) ||  // C0, DEL, C1
           (code >= 0x202a && code <= 0x202e) ||              // bidirectional embeddings and overrides
           (code >= 0x2066 && code <= 0x2069);                // bidirectional isolates
}

}  // namespace

text_unit next_text_unit(std::string_view text)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    const size_t length = lead < 0x80 ? 1 : (lead & 0xe0) == 0xc0 ? 2 : (lead & 0xf0) == 0xe0 ? 3 : (lead & 0xf8) == 0xf0 ? 4 : 0;
    unsigned code = 0;
    if (length != 0 && decode(text, length, code)) {
        return {length, acts_on_terminals(code), true, code};
    }
    // A byte that starts no character: a raw C1 byte is a control to a
    // terminal that reads Latin-1.
    return {1, lead <= 0x9f, false, 0};
}

void append_escaped_byte(std::string& out, char c, const char* prefix)
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
    out += prefix;
    out += hex_digits[byte >> 4];
    out += hex_digits[byte & 0xf];
}

std::string loggable(std::string_view text, size_t longest)
{
    std::string shown;
    const std::string_view kept = text.substr(0, longest);
    for (size_t at = 0; at < kept.size();) {
        const text_unit unit = next_text_unit(kept.substr(at));
        if (unit.escaped) {
            for (size_t i = 0; i < unit.length; ++i) {
                append_escaped_byte(shown, kept[at + i], "\\x");
            }
        } else if (kept[at] == '\\') {
            shown += "\\\\";
        } else {
            shown.append(kept.substr(at, unit.length));
        }
        at += unit.length;
    }
    if (text.size() > longest) {
        shown += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return shown;
}

bool record_pace::due(std::chrono::steady_clock::time_point now)
{
    if (logged_any && now - last_record < std::chrono::seconds(1)) {
        ++held_back;
        return false;
    }
    last_record = now;
    logged_any = true;
    return true;
}

size_t record_pace::held_back_due(std::chrono::steady_clock::time_point now)
{
    if (held_back == 0 || now - last_record < std::chrono::seconds(1)) {
        return 0;
    }
    last_record = now;
    return take_held_back();
}

size_t record_pace::take_held_back()
{
    const size_t count = held_back;
    held_back = 0;
    return count;
}

}  // namespace vorzmq::internal

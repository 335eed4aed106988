// SPDX-License-Identifier: MIT
#include "wire.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <zmq.h>

namespace vorzmq::internal {
namespace {

constexpr size_t z85_key_size = 40;

bool is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("$-_@.&+/", c) != nullptr;
}

// What may follow a name or a value: spaces, then nothing or a comment.
bool only_comment_left(std::string_view rest)
{
    const size_t start = rest.find_first_not_of(' ');
    return start == std::string_view::npos || rest[start] == '#';
}

struct line_parts {
    std::string_view name;
    std::string_view value;  // without its quotes
    bool has_value = false;
    bool quoted = false;
};

// `name`, or `name = value` where the value is quoted ("..." or '...') or
// runs to the end of the line.
bool split_line(std::string_view line, line_parts& parts, std::string& why)
{
    size_t at = 0;
    while (at < line.size() && is_name_char(line[at])) {
        ++at;
    }
    if (at == 0) {
        why = "a line does not start with a name";
        return false;
    }
    parts.name = line.substr(0, at);
    std::string_view rest = line.substr(at);
    const size_t equals = rest.find_first_not_of(' ');
    if (equals == std::string_view::npos || rest[equals] == '#') {
        return true;
    }
    if (rest[equals] != '=') {
        why = "a name is followed by neither a value nor a comment";
        return false;
    }
    rest.remove_prefix(equals + 1);
    const size_t value_start = rest.find_first_not_of(' ');
    parts.has_value = true;
    if (value_start == std::string_view::npos) {
        return true;  // an empty value
    }
    rest.remove_prefix(value_start);
    if (rest[0] == '"' || rest[0] == '\'') {
        const size_t close = rest.find(rest[0], 1);
        if (close == std::string_view::npos) {
            why = "a quoted value is not closed";
            return false;
        }
        parts.value = rest.substr(1, close - 1);
        parts.quoted = true;
        if (!only_comment_left(rest.substr(close + 1))) {
            why = "text follows a quoted value";
            return false;
        }
        return true;
    }
    parts.value = rest;
    return true;
}

enum class section { none, metadata, curve };

struct parser {
    certificate& parsed;
    std::string& why;
    section current = section::none;
    bool seen_metadata = false;
    bool seen_curve = false;

    bool top_level(const line_parts& parts)
    {
        if (parts.has_value) {
            why = "a section has a value";
            return false;
        }
        bool* seen = nullptr;
        if (parts.name == "metadata") {
            current = section::metadata;
            seen = &seen_metadata;
        } else if (parts.name == "curve") {
            current = section::curve;
            seen = &seen_curve;
        } else {
            // A reason never quotes the file: it may be one this process
            // may read and the reader of the log may not.
            why = "a section other than metadata and curve";
            return false;
        }
        if (*seen) {
            why = "section '" + std::string(parts.name) + "' appears twice";
            return false;
        }
        *seen = true;
        return true;
    }

    bool curve_key(const line_parts& parts)
    {
        std::string* key = nullptr;
        if (parts.name == "public-key") {
            key = &parsed.public_key;
        } else if (parts.name == "secret-key") {
            key = &parsed.secret_key;
        } else {
            why = "a name other than public-key and secret-key in section curve";
            return false;
        }
        if (!key->empty()) {
            why = std::string(parts.name) + " appears twice";
            return false;
        }
        if (!parts.has_value || !parts.quoted || !valid_z85_key(parts.value)) {
            why = std::string(parts.name) + " is not a quoted key of 40 Z85 characters";
            return false;
        }
        key->assign(parts.value);
        return true;
    }

    bool entry(const line_parts& parts)
    {
        if (current == section::none) {
            why = "an indented line outside a section";
            return false;
        }
        if (!parts.has_value) {
            why = "a name without a value inside a section";
            return false;
        }
        // Metadata is kept by whoever made the certificate; only its form
        // is checked here.
        return current == section::metadata || curve_key(parts);
    }

    bool line(std::string_view text)
    {
        for (const char c : text) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7f) {
                why = "a control character";
                return false;
            }
        }
        const size_t indent = text.find_first_not_of(' ');
        if (indent == std::string_view::npos || text[indent] == '#') {
            return true;  // a blank line or a comment
        }
        if (indent % 4 != 0 || indent > 4) {
            why = "indentation other than four spaces for one level";
            return false;
        }
        line_parts parts;
        if (!split_line(text.substr(indent), parts, why)) {
            return false;
        }
        return indent == 0 ? top_level(parts) : entry(parts);
    }
};

}  // namespace

bool valid_z85_key(std::string_view key)
{
    if (key.size() != z85_key_size) {
        return false;
    }
    const std::string text(key);
    uint8_t decoded[32];
    return zmq_z85_decode(decoded, text.c_str()) != nullptr;
}

std::string public_key_of(std::string_view secret_key)
{
    if (!valid_z85_key(secret_key)) {
        return {};
    }
    const std::string secret(secret_key);
    char derived[z85_key_size + 1];
    if (zmq_curve_public(derived, secret.c_str()) != 0) {
        return {};
    }
    return std::string(derived, z85_key_size);
}

bool parse_certificate(std::string_view text, certificate& parsed, std::string& why)
{
    parsed = {};
    if (text.size() > longest_certificate) {
        why = "longer than " + std::to_string(longest_certificate) + " bytes";
        return false;
    }
    parser reader{parsed, why};
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);  // written on Windows
        }
        if (!reader.line(line)) {
            parsed = {};
            return false;
        }
    }
    if (parsed.public_key.empty()) {
        why = "no public-key in a curve section";
    } else if (!parsed.secret_key.empty() && public_key_of(parsed.secret_key) != parsed.public_key) {
        why = "the secret-key does not belong to the public-key";
    } else {
        return true;
    }
    parsed = {};
    return false;
}

bool read_certificate_file(const std::string& path, certificate& parsed, std::string& why, bool& readable_by_others)
{
    parsed = {};
    readable_by_others = false;
    // Not blocking: a FIFO put in place of a certificate must not hang the
    // caller; it is refused below as not a regular file.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat status {};
    std::string text;
    bool read_whole = false;
    if (fstat(fd, &status) != 0) {
        why = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        why = "not a regular file";
    } else {
        readable_by_others = (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
        // Room for what the file holds and one byte more, to see the end
        // (or that it grew); never more than one byte past the bound.
        const size_t limit = longest_certificate + 1;
        text.resize(std::min<size_t>(static_cast<size_t>(std::max<off_t>(status.st_size, 0)) + 1, limit));
        size_t size = 0;
        for (;;) {
            const ssize_t got = read(fd, text.data() + size, text.size() - size);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                why = std::strerror(errno);
                break;
            }
            size += static_cast<size_t>(got);
            if (size == text.size() && size < limit && got > 0) {
                text.resize(std::min(size * 2, limit));  // it grew since the fstat
                continue;
            }
            if (got == 0 || size == text.size()) {
                text.resize(size);
                read_whole = true;
                break;
            }
        }
    }
    close(fd);
    return read_whole && parse_certificate(text, parsed, why);
}

}  // namespace vorzmq::internal

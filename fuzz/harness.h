// SPDX-License-Identifier: MIT
// Shared by the libFuzzer harnesses: the host's logger (silenced), a reader
// that turns fuzz input into values, and an ipc endpoint in a private
// temporary directory.
#ifndef VORZMQ_FUZZ_HARNESS_H
#define VORZMQ_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <json/value.h>
#include <log4cxx/logger.h>

namespace vorzmq_fuzz {

// Points the library's logger at a logger that keeps nothing: a harness
// runs thousands of operations a second.
void silence_logger();

// Aborts with a message: libFuzzer records the input as a crash.
[[noreturn]] void fail(const std::string& what);

// ipc://<fresh temporary directory>/<name>
std::string private_ipc_url(const std::string& name);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates):
// only such text can pass through JSON unchanged.
bool well_formed_utf8(const std::string& text);

// Whether every string and member name in `value` is well-formed UTF-8.
// JsonCpp's writers put U+FFFD in place of malformed bytes, so only such
// values come back from their text unchanged.
bool text_survives_json(const Json::Value& value);

// JsonCpp's default reader, as the library parses; false also where it
// throws (nesting too deep).
bool parse_json(const std::string& text, Json::Value& value);

// The bytes of `frame` up to its first zero byte.
std::string text_before_zero(const std::string& frame);

class input_reader {
public:
    input_reader(const uint8_t* data, size_t size) : bytes(data), left(size) {}

    bool empty() const { return left == 0; }
    uint8_t byte()
    {
        if (left == 0) {
            return 0;
        }
        --left;
        return *bytes++;
    }
    // Up to `most` bytes, as many as the input still has.
    std::string text(size_t most)
    {
        const size_t count = most < left ? most : left;
        std::string out(reinterpret_cast<const char*>(bytes), count);
        bytes += count;
        left -= count;
        return out;
    }
    // A frame: mostly short, sometimes empty, now and then large; the bytes
    // come from the input, padded with a pattern when it runs short.
    std::string frame()
    {
        const uint8_t kind = byte();
        size_t size = kind % 32;
        if (kind >= 250) {
            size = 256 + static_cast<size_t>(byte()) * 257;  // up to about 64 KiB
        }
        std::string out = text(size);
        out.resize(size, '\x5a');
        return out;
    }
    std::string rest() { return text(left); }

private:
    const uint8_t* bytes;
    size_t left;
};

}  // namespace vorzmq_fuzz

#endif

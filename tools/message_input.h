// SPDX-License-Identifier: MIT
// Messages in from standard input or the command line, and printed lines out
// to standard output, both buffered: a piped stream costs a system call per
// buffer, not per message.
#ifndef VORZMQ_TOOL_MESSAGE_INPUT_H
#define VORZMQ_TOOL_MESSAGE_INPUT_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace vorzmq_tool {

// --input: how standard input is cut into messages.
enum class input_framing {
    lines,  // one message per line, its line feed removed
    null,   // separated by zero bytes, so any other byte passes
    whole   // all of standard input, one message
};

// "over 4194304 bytes (4 MiB), the most a receiving socket takes": the
// bound, named alike in every refusal.
std::string over_the_bound();

// Refuses, before anything is sent, a given message longer than
// longest_message: throws command_failure naming it and the bound.
void refuse_oversized(const std::vector<std::string>& given);

// Cuts a file descriptor's bytes into messages.
class message_reader {
public:
    message_reader(int descriptor, input_framing framing);
    // The next message into `message`; false at the end of the input (lines
    // and null: the text after the last separator is a message when it is
    // not empty; whole: exactly one message, the empty one for no input).
    // Calls `idle` before each read that may wait. Throws command_failure
    // as soon as a message grows past longest_message (nothing of it is
    // returned) and when the input cannot be read.
    bool next(std::string& message, const std::function<void()>& idle);
    std::size_t count() const { return returned; }

private:
    bool fill(const std::function<void()>& idle);
    int descriptor;
    input_framing framing;
    std::vector<char> buffer;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool at_end = false;
    bool done = false;
    std::size_t returned = 0;
};

// Calls `handle` with each given text, or else with each message of
// standard input (calling `idle` before each read that may wait). A message
// over the bound ends the input with a command_failure; what was handled
// before it stays handled, so callers that must finish what they started
// catch it.
void for_each_message(const std::vector<std::string>& given, input_framing framing,
                      const std::function<void(const std::string&)>& handle,
                      const std::function<void()>& idle = [] {});

// Printed lines waiting for standard output. Commands append to `pending`
// and write it when nothing more is at hand, or at once where a line must
// be out before the message is answered.
class line_output {
public:
    std::string pending;
    // Writes what is pending; returns 0, or the errno of the failed write
    // (what was pending is then dropped).
    int write_pending();
    // Enough pending to be worth a system call.
    static constexpr std::size_t full = 65536;
};

}  // namespace vorzmq_tool

#endif

// SPDX-License-Identifier: MIT
#include "message_input.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include <poll.h>
#include <unistd.h>

#include "message_format.h"
#include "tool_runtime.h"

namespace vorzmq_tool {

namespace {

constexpr std::size_t read_size = 65536;

std::string nth(std::size_t number)
{
    return "message " + std::to_string(number);
}

}  // namespace

std::string over_the_bound()
{
    return "over " + std::to_string(longest_message) + " bytes (4 MiB), the most a receiving socket takes";
}

void refuse_oversized(const std::vector<std::string>& given)
{
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (given[i].size() > longest_message) {
            throw command_failure(nth(i + 1) + " is " + std::to_string(given[i].size()) + " bytes, " +
                                  over_the_bound() + "; nothing was sent");
        }
    }
}

message_reader::message_reader(int descriptor, input_framing framing)
    : descriptor(descriptor), framing(framing), buffer(read_size)
{
}

// Reads more after what is held; false at the end of the input.
bool message_reader::fill(const std::function<void()>& idle)
{
    if (at_end) {
        return false;
    }
    if (begin > 0) {
        std::memmove(buffer.data(), buffer.data() + begin, end - begin);
        end -= begin;
        begin = 0;
    }
    if (buffer.size() - end < read_size) {
        buffer.resize(end + read_size);
    }
    idle();
    for (;;) {
        // A stop signal ends the input: poll, unlike read, is never resumed
        // after the wake-up signal's handler.
        pollfd readable{descriptor, POLLIN, 0};
        if (stop_requested() || (poll(&readable, 1, -1) < 0 && errno == EINTR && stop_requested())) {
            at_end = true;
            return false;
        }
        const ssize_t got = read(descriptor, buffer.data() + end, buffer.size() - end);
        if (got > 0) {
            end += static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0) {
            at_end = true;
            return false;
        }
        if (errno != EINTR) {
            throw command_failure(std::string("cannot read standard input: ") + std::strerror(errno));
        }
    }
}

bool message_reader::next(std::string& message, const std::function<void()>& idle)
{
    if (done) {
        return false;
    }
    const char separator = framing == input_framing::null ? '\0' : '\n';
    std::size_t searched = begin;
    for (;;) {
        if (framing != input_framing::whole) {
            const void* found = std::memchr(buffer.data() + searched, separator, end - searched);
            if (found != nullptr) {
                const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - buffer.data());
                if (at - begin <= longest_message) {
                    message.assign(buffer.data() + begin, at - begin);
                    begin = at + 1;
                    ++returned;
                    return true;
                }
            }
        }
        if (end - begin > longest_message) {
            done = true;
            throw command_failure(nth(returned + 1) + " of standard input is " + over_the_bound() +
                                  "; it was not sent, nor anything after it");
        }
        searched = end - begin;
        const bool more = fill(idle);
        searched += begin;  // begin is 0 after a fill
        if (!more) {
            done = true;
            if (framing != input_framing::whole && end == begin) {
                return false;
            }
            message.assign(buffer.data() + begin, end - begin);
            begin = end;
            ++returned;
            return true;
        }
    }
}

void for_each_message(const std::vector<std::string>& given, input_framing framing,
                      const std::function<void(const std::string&)>& handle, const std::function<void()>& idle)
{
    if (!given.empty()) {
        for (const std::string& message : given) {
            handle(message);
        }
        return;
    }
    if (isatty(STDIN_FILENO)) {
        std::cerr << (framing == input_framing::lines   ? "(reading messages from standard input, one a line; "
                      : framing == input_framing::null ? "(reading messages from standard input, ended by zero bytes; "
                                                        : "(reading one message from standard input; ")
                  << "end with Ctrl-D)\n";
    }
    message_reader reader(STDIN_FILENO, framing);
    std::string message;
    while (reader.next(message, idle)) {
        handle(message);
    }
}

int line_output::write_pending()
{
    const char* next = pending.data();
    std::size_t left = pending.size();
    while (left > 0) {
        const ssize_t written = write(STDOUT_FILENO, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            pending.clear();
            return error;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    pending.clear();
    return 0;
}

}  // namespace vorzmq_tool

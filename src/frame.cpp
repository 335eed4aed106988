// SPDX-License-Identifier: MIT
#include "frame.h"

namespace vorzmq::internal {

bool discard_extra_frames(void* socket)
{
    for (bool more = true; more;) {
        frame extra;
        if (zmq_msg_recv(&extra.message, socket, 0) == -1) {
            return false;
        }
        more = extra.more();
    }
    return true;
}

bool discard_rest_of_message(void* socket)
{
    int more = 0;
    size_t more_size = sizeof more;
    if (zmq_getsockopt(socket, ZMQ_RCVMORE, &more, &more_size) != 0) {
        return false;
    }
    return discard_rest_of_message(socket, more != 0);
}

std::string loggable(std::string_view text)
{
    constexpr size_t longest = 200;
    std::string shown;
    for (const char c : text.substr(0, longest)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            shown += "\\\\";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            static constexpr char digits[] = "0123456789abcdef";
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 0xf];
        } else {
            shown += c;
        }
    }
    if (text.size() > longest) {
        shown += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return shown;
}

}  // namespace vorzmq::internal

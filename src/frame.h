// SPDX-License-Identifier: MIT
// Received frames: the message wrapper, reading a frame as text, and
// dropping the frames a peer sent beyond those a message should have.
#ifndef VORZMQ_SRC_FRAME_H
#define VORZMQ_SRC_FRAME_H

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>

#include <zmq.h>

#include "wire.h"

namespace vorzmq::internal {

// One received frame, released on every path.
struct frame {
    frame() { zmq_msg_init(&message); }
    ~frame() { zmq_msg_close(&message); }
    frame(const frame&) = delete;
    frame& operator=(const frame&) = delete;

    bool more() const { return zmq_msg_more(&message) != 0; }
    const char* data() { return static_cast<const char*>(zmq_msg_data(&message)); }
    size_t size() const { return zmq_msg_size(&message); }

    // The frame's bytes up to its first zero byte, at most longest_text.
    std::string_view text()
    {
        const char* bytes = data();
        const size_t length = std::min(size(), longest_text);
        const void* zero = length == 0 ? nullptr : std::memchr(bytes, 0, length);
        return {bytes, zero ? static_cast<size_t>(static_cast<const char*>(zero) - bytes) : length};
    }

    // Whether text() would lose bytes of the frame's text: no zero byte ends
    // it within longest_text bytes.
    bool cut() { return size() > longest_text && std::memchr(data(), 0, longest_text + 1) == nullptr; }

    zmq_msg_t message;
};

// Unformatted: a formatted insertion would build a sentry and pad to the
// stream's width for every message.
inline void append_text(std::stringstream& stream, frame& message)
{
    const std::string_view text = message.text();
    stream.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool discard_extra_frames(void* socket);

// zmq_msg_recv for a part after a message's first: it is already queued, so
// a signal that interrupts the read is simply read past.
int receive_next_part(zmq_msg_t* message, void* socket, int flags);

// zmq_msg_recv for an exchange that a signal must not cut short: after an
// interruption the wait goes on, up to `timeout_ms` counted again from the
// signal (negative: without limit); past it, EAGAIN as for a time-out.
int receive_waiting_through_signals(zmq_msg_t* message, void* socket, int flags, int32_t timeout_ms);

// Reads and drops the rest of a message whose first frame was taken, so that
// a peer's extra frames can never leave a REQ or REP socket half-read or shift
// the next message of a SUB socket. Returns false, with errno from libzmq,
// when a read fails.
inline bool discard_rest_of_message(void* socket, bool more)
{
    return !more || discard_extra_frames(socket);
}

// As above, for a frame read by zmq_recv, which does not say whether more follow.
bool discard_rest_of_message(void* socket);

inline bool sent_whole(int sent, size_t size)
{
    return sent >= 0 && static_cast<size_t>(sent) == size;
}

}  // namespace vorzmq::internal

#endif  // VORZMQ_SRC_FRAME_H

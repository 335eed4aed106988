// SPDX-License-Identifier: MIT
#include "frame.h"

#include <cerrno>
#include <chrono>

namespace vorzmq::internal {

int receive_next_part(zmq_msg_t* message, void* socket, int flags)
{
    int received;
    while ((received = zmq_msg_recv(message, socket, flags)) == -1 && zmq_errno() == EINTR) {
    }
    return received;
}

bool discard_extra_frames(void* socket)
{
    for (bool more = true; more;) {
        frame extra;
        if (receive_next_part(&extra.message, socket, 0) == -1) {
            return false;
        }
        more = extra.more();
    }
    return true;
}

int receive_waiting_through_signals(zmq_msg_t* message, void* socket, int flags, int32_t timeout_ms)
{
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    const auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    for (;;) {
        const int received = zmq_msg_recv(message, socket, flags);
        if (received != -1 || zmq_errno() != EINTR || (flags & ZMQ_DONTWAIT) != 0) {
            return received;
        }
        // Waits out the rest of the time-out, then reads what came.
        for (int ready = 0; ready == 0 && timeout_ms >= 0;) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            if (left <= 0) {
                errno = EAGAIN;
                return -1;
            }
            zmq_pollitem_t item{socket, 0, ZMQ_POLLIN, 0};
            ready = zmq_poll(&item, 1, static_cast<long>(left));
            if (ready == -1 && zmq_errno() != EINTR) {
                return -1;
            }
            ready = std::max(ready, 0);
        }
    }
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

}  // namespace vorzmq::internal

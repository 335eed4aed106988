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

}  // namespace vorzmq::internal

// SPDX-License-Identifier: MIT
// Waiting at exit until the subscribers have read what was published.
#ifndef VORZMQ_TOOL_DRAIN_H
#define VORZMQ_TOOL_DRAIN_H

#include <cstddef>

namespace vorzmq_tool {

// Waits until every byte this process wrote to its connections has been
// read by the peer, or until `limit_ms` passes (-1: no limit). Returns the
// bytes still unread (0: all read).
//
// Why: a publish socket's linger covers only the messages inside libzmq. On
// a close, libzmq ends the connection, and a libzmq subscriber that is more
// than its receive high-water mark behind (1000 messages by default) sees
// the hang-up before it has read the rest from the ipc:// connection, and
// drops it. So the publishing commands close only once their subscribers
// have read everything, up to --linger-ms.
std::size_t wait_until_peers_have_read(int limit_ms);

}  // namespace vorzmq_tool

#endif

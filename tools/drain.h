// SPDX-License-Identifier: MIT
// Waiting at exit until the subscribers have read what was published.
#ifndef VORZMQ_TOOL_DRAIN_H
#define VORZMQ_TOOL_DRAIN_H

#include <cstddef>
#include <optional>
#include <string>

namespace vorzmq_tool {

// Waits until every byte this process wrote to the connections it accepted
// on `endpoint` (the bound tcp:// or ipc:// endpoint of a publisher) has been
// read by the peer, or until `limit_ms` passes (-1: no limit). Returns the
// bytes still unread (0: all read), or nothing when they cannot be counted
// (no /proc): the whole limit has then passed.
//
// Why: a publish socket's linger covers only the messages inside libzmq. On
// a close, libzmq ends the connection, and a libzmq subscriber that is more
// than its receive high-water mark behind (1000 messages by default) sees
// the hang-up before it has read the rest from the ipc:// connection, and
// drops it. So the publishing commands close only once their subscribers
// have read everything, up to --linger-ms.
//
// The count is a lower bound of what is lost: it is what the kernel holds
// (over tcp: what the peer's kernel has not acknowledged), not what is still
// queued inside libzmq.
std::optional<std::size_t> wait_until_peers_have_read(const std::string& endpoint, int limit_ms);

}  // namespace vorzmq_tool

#endif

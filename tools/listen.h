// SPDX-License-Identifier: MIT
// vorzmq listen: serve queues and follow publishers in one process.
#ifndef VORZMQ_TOOL_LISTEN_H
#define VORZMQ_TOOL_LISTEN_H

#include <cstddef>
#include <string>
#include <vector>

#include "message_format.h"
#include "security.h"

namespace vorzmq_tool {

struct listen_options {
    std::vector<std::string> queues;                   // endpoints to serve
    std::vector<std::vector<std::string>> subscribes;  // each: an endpoint, then its topics
    bool prefix = false;
    std::size_t count = 0;  // 0: until stopped
    output_format output = output_format::text;
    curve_options curve;  // --curve-secret for the queues and as the subscriptions' key
    std::string metrics;  // HOST:PORT; empty: none
};

// Acknowledges every request on the queues and prints every message of the
// subscriptions, one line each, naming where it came from.
int run_listen(const listen_options& options);

}  // namespace vorzmq_tool

#endif

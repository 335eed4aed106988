// SPDX-License-Identifier: MIT
// vorzmq forward and vorzmq balance: libzmq's own steerable proxy between
// publishers and subscribers (XSUB to XPUB) or between requesters and
// servers (ROUTER to DEALER), stopped by SIGINT/SIGTERM through its control
// socket and counted by its STATISTICS command.
#ifndef VORZMQ_TOOL_PROXY_H
#define VORZMQ_TOOL_PROXY_H

#include <string>
#include <vector>

#include "security.h"

namespace vorzmq_tool {

struct forward_options {
    std::vector<std::string> from;  // publishers, connected to
    std::string to;                 // bound for subscribers
    // Messages queued for each subscriber (and from each publisher) before
    // newer ones are dropped for it: a slow subscriber loses messages, the
    // others never wait for it.
    int hwm = 10000;
    // Whether a subscriber at its mark holds the proxy back (no message is
    // dropped, every subscriber waits) instead of losing newer messages.
    bool lossless = false;
    int stats_s = 0;  // 0: no statistics
    curve_options curve;  // --curve-secret serves --to and is the --from connections' key
    std::string metrics;  // HOST:PORT; empty: none
};

struct balance_options {
    std::string listen;           // bound for requesters
    std::vector<std::string> to;  // servers, connected to
    int stats_s = 0;
    curve_options curve;  // --curve-secret serves --listen and is the --to connections' key
    std::string metrics;  // HOST:PORT; empty: none
};

int run_forward(const forward_options& options);
int run_balance(const balance_options& options);

}  // namespace vorzmq_tool

#endif

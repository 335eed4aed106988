// SPDX-License-Identifier: MIT
// The outcome functions of the public API.
#include "outcome.h"

namespace vorzmq::internal {

__thread outcome last_outcome __attribute__((tls_model("initial-exec"))) = {vorzmq_result::ok, 0};

}  // namespace vorzmq::internal

using vorzmq::internal::last_outcome;

vorzmq_result vorzmq_last_result()
{
    return last_outcome.result;
}

int vorzmq_last_error()
{
    return last_outcome.result == vorzmq_result::ok ? 0 : last_outcome.error;
}

const char* vorzmq_result_text(vorzmq_result result)
{
    switch (result) {
    case vorzmq_result::ok:
        return "ok";
    case vorzmq_result::no_socket:
        return "no socket";
    case vorzmq_result::not_sent:
        return "not sent";
    case vorzmq_result::no_reply:
        return "no reply";
    case vorzmq_result::receive_failed:
        return "receive failed";
    case vorzmq_result::unexpected_reply:
        return "unexpected reply";
    case vorzmq_result::invalid_data:
        return "invalid data";
    case vorzmq_result::truncated:
        return "truncated";
    case vorzmq_result::dropped:
        return "dropped";
    case vorzmq_result::refused:
        return "refused by the server";
    case vorzmq_result::interrupted:
        return "interrupted by a signal";
    }
    return "unknown result";
}

// SPDX-License-Identifier: MIT
// This thread's last outcome, as vorzmq_last_result and vorzmq_last_error
// report it.
#ifndef VORZMQ_SRC_OUTCOME_H
#define VORZMQ_SRC_OUTCOME_H

#include <cerrno>

#include "vorzmq.h"

namespace vorzmq::internal {

struct outcome {
    vorzmq_result result;
    int error;
};

// Initial-exec TLS without dynamic initialisation: a plain store, with no
// call, on the publish path.
extern __thread outcome last_outcome __attribute__((tls_model("initial-exec")));

inline void record(vorzmq_result result, int error = 0)
{
    last_outcome = {result, error};
}

// A receive that failed with EAGAIN found nothing within its timeout; one
// that failed with EINTR was cut short by a signal.
inline void record_failed_receive(bool timed_out, int err)
{
    record(timed_out        ? vorzmq_result::no_reply
           : err == EINTR ? vorzmq_result::interrupted
                          : vorzmq_result::receive_failed,
           err);
}

}  // namespace vorzmq::internal

#endif  // VORZMQ_SRC_OUTCOME_H

// SPDX-License-Identifier: MIT
// libzmq fault injection. The test executable defines the libzmq functions
// below; ELF symbol interposition routes libvorzmq's calls through them. Each
// forwards to the real function unless the running test armed a failure.
// Only calls made from inside libvorzmq are counted and failed, so a test's
// own raw peers keep working while the library is being broken.
#ifndef VORZMQ_TESTS_ZMQ_FAULTS_H
#define VORZMQ_TESTS_ZMQ_FAULTS_H

namespace vorzmq_test {

enum class zmq_call {
    ctx_new,
    ctx_destroy,
    socket,
    close,
    setsockopt,
    getsockopt,
    connect,
    disconnect,
    bind,
    unbind,
    send,
    recv,
    msg_recv,
    fchmodat,  // not libzmq's, but the readiness step's
    count_
};

const char* name_of(zmq_call call);

// The next `times` calls of `call` made by the library after `skip` calls
// fail with `error`; with `option` >= 0 only zmq_setsockopt or
// zmq_getsockopt calls for that option count.
void arm_fault(zmq_call call, int error, int times = 1, int skip = 0, int option = -1);
// Clears every armed fault and every call count.
void reset_faults();
// How often the library called `call` since the last reset.
int library_calls(zmq_call call);
int library_calls_total();
// Calls that an armed fault turned into failures since the last reset.
int injected_failures();

// Resets on construction and destruction, so that no fault leaks into the
// next test.
struct fault_scope {
    fault_scope() { reset_faults(); }
    ~fault_scope() { reset_faults(); }
};

}  // namespace vorzmq_test

#endif

// SPDX-License-Identifier: MIT
#include "zmq_faults.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <vector>

#include <zmq.h>

#include "vorzmq.h"

namespace vorzmq_test {
namespace {

struct armed_fault {
    zmq_call call;
    int error;
    int times;
    int skip;
    int option;
};

std::mutex faults_mutex;
std::vector<armed_fault> faults;
std::atomic<int> counts[static_cast<int>(zmq_call::count_)];
std::atomic<int> injected{0};

const void* library_base()
{
    static const void* base = [] {
        Dl_info info{};
        dladdr(reinterpret_cast<void*>(&valid_url), &info);
        return info.dli_fbase;
    }();
    return base;
}

bool called_from_library(const void* return_address)
{
    Dl_info info{};
    return dladdr(return_address, &info) != 0 && info.dli_fbase == library_base();
}

// The library's own PAIR sockets (the watch of a client's handshakes, the
// authenticator's control) are its plumbing, not the host's sockets: their
// calls are neither counted nor failed.
std::mutex internal_mutex;
std::vector<const void*> internal_sockets;

bool is_internal(const void* socket)
{
    std::lock_guard<std::mutex> lock(internal_mutex);
    return std::find(internal_sockets.begin(), internal_sockets.end(), socket) != internal_sockets.end();
}

void set_internal(const void* socket, bool internal)
{
    std::lock_guard<std::mutex> lock(internal_mutex);
    if (internal) {
        internal_sockets.push_back(socket);
    } else {
        internal_sockets.erase(std::remove(internal_sockets.begin(), internal_sockets.end(), socket),
                               internal_sockets.end());
    }
}

// Counts the call and tells whether it must fail (errno is then set).
bool must_fail(zmq_call call, const void* return_address, int option = -1, const void* socket = nullptr)
{
    if (!called_from_library(return_address) || (socket != nullptr && is_internal(socket))) {
        return false;
    }
    counts[static_cast<int>(call)]++;
    std::lock_guard<std::mutex> lock(faults_mutex);
    for (auto& fault : faults) {
        if (fault.call != call || fault.times == 0 || (fault.option >= 0 && fault.option != option)) {
            continue;
        }
        if (fault.skip > 0) {
            fault.skip--;
            continue;
        }
        fault.times--;
        injected++;
        errno = fault.error;
        return true;
    }
    return false;
}

template <typename Function>
Function real(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

const char* name_of(zmq_call call)
{
    static const char* const names[] = {"zmq_ctx_new", "zmq_ctx_destroy", "zmq_socket",   "zmq_close",
                                        "zmq_setsockopt", "zmq_getsockopt", "zmq_connect", "zmq_disconnect",
                                        "zmq_bind",    "zmq_unbind",      "zmq_send",     "zmq_recv",
                                        "zmq_msg_recv", "fchmodat"};
    return names[static_cast<int>(call)];
}

void arm_fault(zmq_call call, int error, int times, int skip, int option)
{
    std::lock_guard<std::mutex> lock(faults_mutex);
    faults.push_back({call, error, times, skip, option});
}

void reset_faults()
{
    std::lock_guard<std::mutex> lock(faults_mutex);
    faults.clear();
    for (auto& count : counts) {
        count = 0;
    }
    injected = 0;
}

int library_calls(zmq_call call)
{
    return counts[static_cast<int>(call)];
}

int library_calls_total()
{
    int total = 0;
    for (const auto& count : counts) {
        total += count;
    }
    return total;
}

int injected_failures()
{
    return injected;
}

}  // namespace vorzmq_test

using vorzmq_test::must_fail;
using vorzmq_test::set_internal;
using vorzmq_test::real;
using vorzmq_test::zmq_call;

#define VORZMQ_CALLER __builtin_return_address(0)

extern "C" {

void* zmq_ctx_new()
{
    static auto forward = real<void* (*)()>("zmq_ctx_new");
    return must_fail(zmq_call::ctx_new, VORZMQ_CALLER) ? nullptr : forward();
}

int zmq_ctx_destroy(void* context)
{
    static auto forward = real<int (*)(void*)>("zmq_ctx_destroy");
    // A failed destroy would leak the context for the rest of the run, so the
    // real one always runs; the fault only changes what the library sees. An
    // interrupted one leaves the context alive, as libzmq's own does, for
    // the library to destroy again.
    const bool fail = must_fail(zmq_call::ctx_destroy, VORZMQ_CALLER);
    const int err = errno;
    if (fail && err == EINTR) {
        return -1;
    }
    const int rc = forward(context);
    if (fail) {
        errno = err;
        return -1;
    }
    return rc;
}

void* zmq_socket(void* context, int type)
{
    static auto forward = real<void* (*)(void*, int)>("zmq_socket");
    if (type == ZMQ_PAIR && vorzmq_test::called_from_library(VORZMQ_CALLER)) {
        void* const socket = forward(context, type);
        set_internal(socket, true);
        return socket;
    }
    return must_fail(zmq_call::socket, VORZMQ_CALLER) ? nullptr : forward(context, type);
}

int zmq_close(void* socket)
{
    static auto forward = real<int (*)(void*)>("zmq_close");
    // As with the context: the socket is always closed for real.
    const bool fail = must_fail(zmq_call::close, VORZMQ_CALLER, -1, socket);
    const int err = errno;
    set_internal(socket, false);
    const int rc = forward(socket);
    if (fail) {
        errno = err;
        return -1;
    }
    return rc;
}

int zmq_setsockopt(void* socket, int option, const void* value, size_t size)
{
    static auto forward = real<int (*)(void*, int, const void*, size_t)>("zmq_setsockopt");
    return must_fail(zmq_call::setsockopt, VORZMQ_CALLER, option, socket) ? -1 : forward(socket, option, value, size);
}

int zmq_getsockopt(void* socket, int option, void* value, size_t* size)
{
    static auto forward = real<int (*)(void*, int, void*, size_t*)>("zmq_getsockopt");
    return must_fail(zmq_call::getsockopt, VORZMQ_CALLER, option, socket) ? -1 : forward(socket, option, value, size);
}

int zmq_connect(void* socket, const char* endpoint)
{
    static auto forward = real<int (*)(void*, const char*)>("zmq_connect");
    return must_fail(zmq_call::connect, VORZMQ_CALLER, -1, socket) ? -1 : forward(socket, endpoint);
}

int zmq_disconnect(void* socket, const char* endpoint)
{
    static auto forward = real<int (*)(void*, const char*)>("zmq_disconnect");
    return must_fail(zmq_call::disconnect, VORZMQ_CALLER, -1, socket) ? -1 : forward(socket, endpoint);
}

int zmq_bind(void* socket, const char* endpoint)
{
    static auto forward = real<int (*)(void*, const char*)>("zmq_bind");
    return must_fail(zmq_call::bind, VORZMQ_CALLER, -1, socket) ? -1 : forward(socket, endpoint);
}

int zmq_unbind(void* socket, const char* endpoint)
{
    static auto forward = real<int (*)(void*, const char*)>("zmq_unbind");
    return must_fail(zmq_call::unbind, VORZMQ_CALLER, -1, socket) ? -1 : forward(socket, endpoint);
}

int zmq_send(void* socket, const void* buffer, size_t size, int flags)
{
    static auto forward = real<int (*)(void*, const void*, size_t, int)>("zmq_send");
    return must_fail(zmq_call::send, VORZMQ_CALLER, -1, socket) ? -1 : forward(socket, buffer, size, flags);
}

int zmq_recv(void* socket, void* buffer, size_t size, int flags)
{
    static auto forward = real<int (*)(void*, void*, size_t, int)>("zmq_recv");
    return must_fail(zmq_call::recv, VORZMQ_CALLER, -1, socket) ? -1 : forward(socket, buffer, size, flags);
}

int zmq_msg_recv(zmq_msg_t* message, void* socket, int flags)
{
    static auto forward = real<int (*)(zmq_msg_t*, void*, int)>("zmq_msg_recv");
    return must_fail(zmq_call::msg_recv, VORZMQ_CALLER, -1, socket) ? -1 : forward(message, socket, flags);
}

// glibc fails it with EOPNOTSUPP where /proc is missing.
int fchmodat(int directory, const char* path, mode_t mode, int flags) noexcept
{
    static auto forward = real<int (*)(int, const char*, mode_t, int)>("fchmodat");
    return must_fail(zmq_call::fchmodat, VORZMQ_CALLER) ? -1 : forward(directory, path, mode, flags);
}

}  // extern "C"

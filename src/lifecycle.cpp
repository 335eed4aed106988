// SPDX-License-Identifier: MIT
// The lifecycle every socket class shares, and the context they all need.
#include "lifecycle.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include <zmq.h>

#include "curve.h"
#include "frame.h"
#include "logging.h"
#include "outcome.h"
#include "wire.h"

namespace vorzmq::internal {
namespace {

// A kind's text with "{endpoint}" and "{error}" filled in.
std::string fill(std::string_view text, const std::string& endpoint, int err = 0)
{
    static constexpr std::string_view endpoint_field = "{endpoint}";
    static constexpr std::string_view error_field = "{error}";
    std::string filled;
    for (;;) {
        const size_t brace = text.find('{');
        filled.append(text.substr(0, brace));
        if (brace == std::string_view::npos) {
            return filled;
        }
        text.remove_prefix(brace);
        if (text.starts_with(endpoint_field)) {
            filled.append(endpoint);
            text.remove_prefix(endpoint_field.size());
        } else if (text.starts_with(error_field)) {
            filled.append(zmq_strerror(err));
            text.remove_prefix(error_field.size());
        } else {
            filled.push_back('{');
            text.remove_prefix(1);
        }
    }
}

void set_int_option(const char* signature, void* socket, int option, const char* name, int32_t value)
{
    if (zmq_setsockopt(socket, option, &value, sizeof value) != 0) {
        const int err = zmq_errno();
        LOG4CXX_WARN(logger, "Failed to Set Socket " << name << " (" << value << ") -- " << zmq_strerror(err));
    }
}

void set_option(const char* signature, const socket_handle& handle, const socket_option& setting)
{
    const int32_t value = setting.value != nullptr ? handle.*setting.value : setting.fixed_value;
    set_int_option(signature, handle.socket, setting.option, setting.name, value);
}

// A peer that vanished without a word is noticed, and a connection that
// never finishes its handshake does not hold a binding socket's resources.
void set_liveness_options(const char* signature, const socket_handle& handle)
{
    for (const liveness_option& setting : liveness_options(handle.context, handle.url, handle.kind.binds)) {
        if (setting.name != nullptr) {
            set_int_option(signature, handle.socket, setting.option, setting.name, setting.value);
        }
    }
}

void set_options(const char* signature, const socket_handle& handle)
{
    for (const socket_option& setting : handle.kind.options) {
        if (setting.name != nullptr) {
            set_option(signature, handle, setting);
        }
    }
}

// Carries out a pending reset, then creates, configures and attaches a socket
// when there is none. Returns true when a new socket is ready.
bool create_socket(socket_handle& handle)
{
    const socket_kind& kind = handle.kind;
    const char* const signature = kind.setup_signature;
    if (handle.context == nullptr) {
        record(vorzmq_result::no_socket);
        LOG4CXX_ERROR(logger, kind.missing_context);
        return false;
    }
    if (kind.needs_url && handle.url.empty()) {
        record(vorzmq_result::no_socket);
        return false;
    }
    if (handle.reset_pending) {
        LOG4CXX_WARN(logger, fill(kind.closing, handle.url));
        if (handle.socket != nullptr) {  // else abandoned already
            close_object_socket(handle.object, handle.socket);
        }
        handle.reset_pending = false;
    } else if (handle.socket != nullptr) {
        record(vorzmq_result::ok);
        return false;
    }

    if (kind.creating != nullptr) {
        LOG4CXX_DEBUG(logger, fill(kind.creating, handle.url));
    }
    handle.socket = zmq_socket(handle.context, kind.type);
    if (handle.socket == nullptr) {
        const int err = zmq_errno();
        record(vorzmq_result::no_socket, err);
        LOG4CXX_ERROR(logger, fill(kind.creation_failed, handle.url, err));
        return false;
    }
    set_options(signature, handle);
    harden_socket(signature, handle.socket, kind.binds);
    set_liveness_options(signature, handle);
    // Security that cannot be applied leaves no socket rather than one in
    // clear text; the next operation tries again.
    if (!apply_curve(signature, handle)) {
        close_object_socket(handle.object, handle.socket);
        return false;
    }
    const int attached =
        kind.binds ? bind_endpoint(handle.socket, handle.url) : zmq_connect(handle.socket, handle.url.c_str());
    if (attached != 0) {
        const int err = zmq_errno();
        record(vorzmq_result::no_socket, err);
        LOG4CXX_ERROR(logger, fill(kind.attach_failed, handle.url, err));
        close_object_socket(handle.object, handle.socket);
        handle.attach_failed = true;
        if (kind.pause_after_failed_attach_s != 0 && handle.pause_after_failed_attach) {
            sleep(kind.pause_after_failed_attach_s);
        }
        return false;
    }
    if (kind.binds) {
        // ipc://* binds a path that libzmq makes up: the mode goes there.
        wait_for_file_to_manifest_and_set_perms(handle.url == "ipc://*" ? bound_endpoint(handle.socket) : handle.url);
    }
    record(vorzmq_result::ok);
    return true;
}

// What the library knows of each live context: the process that made it,
// and how many objects made from it are alive.
struct context_record {
    pid_t creator;
    size_t objects;
};
std::mutex contexts_lock;
std::unordered_map<const void*, context_record> contexts;

}  // namespace

void note_object_made(const void* context)
{
    const std::lock_guard<std::mutex> held(contexts_lock);
    const auto known = contexts.find(context);
    if (known != contexts.end()) {
        ++known->second.objects;
    }
}

void note_object_gone(const void* context)
{
    const std::lock_guard<std::mutex> held(contexts_lock);
    const auto known = contexts.find(context);
    if (known != contexts.end() && known->second.objects > 0) {
        --known->second.objects;
    }
}

void announce_socket(const socket_handle& handle)
{
    const char* const signature = handle.kind.constructor_signature;
    LOG4CXX_DEBUG(logger, fill(handle.kind.constructed, handle.url));
    if (handle.context == nullptr) {
        throw std::runtime_error("ZMQ Context is NULL");
    }
    note_object_made(handle.context);
}

bool set_up(socket_handle& handle)
{
    // A socket that is ready is an outcome too.
    if (socket_ready(handle)) {
        record(vorzmq_result::ok);
        return false;
    }
    if (!create_socket(handle)) {
        return false;
    }
    if (handle.filters != nullptr) {
        // A new socket hears exactly what the host asked for on the old one.
        for (const std::string& filter : *handle.filters) {
            if (!set_filter(handle, filter, handle.kind.setup_signature)) {
                return false;
            }
        }
    }
    return true;
}

void apply_setting(const char* signature, const socket_handle& handle, int option)
{
    if (handle.socket == nullptr) {
        return;  // the next socket gets it
    }
    for (const socket_option& setting : handle.kind.options) {
        if (setting.name != nullptr && setting.option == option) {
            set_option(signature, handle, setting);
        }
    }
    if (option == ZMQ_RCVTIMEO) {
        follow_receive_timeout(signature, handle);
    }
}

void* socket_for_receive(socket_handle& handle)
{
    if (handle.kind.created_by_receive) {
        if (!socket_ready(handle)) {
            set_up(handle);
        }
        // A subscriber that asked for nothing hears everything.
        if (handle.filters != nullptr && handle.filters->empty()) {
            add_filter_to_current_socket(handle, "", true);
        }
    }
    return handle.reset_pending ? nullptr : handle.socket;
}

void report_failed_receive(const char* signature, socket_handle& handle, const receive_texts& texts,
                           bool timed_out, int err)
{
    record_failed_receive(timed_out, err);
    if (timed_out) {
        LOG4CXX_TRACE(logger, texts.timed_out << handle.receive_timeout_ms << "ms");
        return;
    }
    if (err == EINTR) {
        // The socket is sound and what it holds is still queued.
        LOG4CXX_TRACE(logger, receive_interrupted);
        return;
    }
    LOG4CXX_ERROR(logger, texts.failed << zmq_strerror(err) << " -- Closing Socket on Unexpected Error");
    handle.reset_pending = true;
}

bool note_interrupted_send(const char* signature, int err)
{
    if (err != EINTR) {
        return false;
    }
    record(vorzmq_result::interrupted, EINTR);
    LOG4CXX_TRACE(logger, "Send Interrupted by a Signal -- Socket Kept");
    return true;
}

void close_socket(void*& socket)
{
    zmq_close(socket);
    socket = nullptr;
}

void close_object_socket(const void* object, void*& socket)
{
    stop_watching_handshakes(object, socket);
    close_socket(socket);
}

void close_on_destruction(const void* object, const void* context, const char* signature, void*& socket)
{
    note_object_gone(context);
    if (leave_pollers(object)) {
        LOG4CXX_WARN(logger, "Socket Destroyed While Added to a Poller -- Removed from the Poller");
    }
    if (socket != nullptr) {
        close_object_socket(object, socket);
    }
    forget_curve(object);
}

std::string bound_endpoint(void* socket)
{
    if (socket == nullptr) {
        return {};
    }
    char endpoint[1024];
    size_t size = sizeof endpoint;
    if (zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &size) != 0) {
        return {};
    }
    return std::string(endpoint, strnlen(endpoint, size));
}

}  // namespace vorzmq::internal

// ---------------------------------------------------------------- context

vorzmq_context::vorzmq_context() : context(nullptr)
{
    static constexpr char signature[] = "vorzmq_context::vorzmq_context()";
    LOG4CXX_DEBUG(logger, "Initializing ZMQ Context");
    context = zmq_ctx_new();
    if (context == nullptr) {
        const int err = zmq_errno();
        LOG4CXX_ERROR(logger, "ZMQ Context Init Failed -- " << zmq_strerror(err));
        return;
    }
    const std::lock_guard<std::mutex> held(vorzmq::internal::contexts_lock);
    vorzmq::internal::contexts[context] = {getpid(), 0};
}

vorzmq_context::~vorzmq_context()
{
    static constexpr char signature[] = "vorzmq_context::~vorzmq_context()";
    if (context == nullptr) {
        return;
    }
    LOG4CXX_DEBUG(logger, "Destroying Existing ZMQ Context");
    vorzmq::internal::context_record made{getpid(), 0};
    {
        const std::lock_guard<std::mutex> held(vorzmq::internal::contexts_lock);
        const auto known = vorzmq::internal::contexts.find(context);
        if (known != vorzmq::internal::contexts.end()) {
            made = known->second;
            vorzmq::internal::contexts.erase(known);
        }
    }
    if (made.creator != getpid()) {
        // libzmq's threads stayed in the parent: a destroy here would wait
        // for them for ever.
        LOG4CXX_ERROR(logger, "ZMQ Context Made by Process " << made.creator
                                                             << " -- Not Destroyed in Its Forked Child");
        context = nullptr;
        return;
    }
    if (made.objects != 0) {
        // libzmq waits until every socket is closed: the host hangs here
        // unless another thread ends those objects.
        LOG4CXX_ERROR(logger, "Destroying ZMQ Context with " << made.objects
                                                             << " Objects Made from It Still Alive -- Waiting for "
                                                                "Their Sockets to Close");
    }
    vorzmq::internal::forget_heartbeat_interval(context);
    // A signal interrupts the wait for lingering messages; giving up then
    // would drop them and leave libzmq's threads running.
    while (zmq_ctx_destroy(context) != 0 && zmq_errno() == EINTR) {
    }
    context = nullptr;
}

void vorzmq_context::set_heartbeat_ms(int32_t interval_ms)
{
    static constexpr char signature[] = "void vorzmq_context::set_heartbeat_ms(int32_t)";
    if (context == nullptr) {
        return;
    }
    if (interval_ms < 0) {
        LOG4CXX_WARN(logger, "Heartbeat Interval Must Not Be Negative (" << interval_ms << ") -- Unchanged");
        return;
    }
    vorzmq::internal::set_heartbeat_interval(context, interval_ms);
}

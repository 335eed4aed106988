// SPDX-License-Identifier: MIT
// The poller: waits on several socket objects at once, creating their
// ZeroMQ sockets as their receives would.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <zmq.h>

#include "lifecycle.h"
#include "logging.h"
#include "outcome.h"

namespace vorzmq::internal {

struct poll_set {
    struct member {
        void* object;                         // the socket object
        socket_handle (*handle_of)(void*);    // its handle, made afresh for each wait
        void* polled;                         // its ZeroMQ socket in `items`, or null when left out
        int item;                             // its index in `items`, or -1
        bool readable;                        // as found by the last wait
        std::chrono::steady_clock::time_point retry_after;  // of a failed bind, which a receive would pause for
    };

    member* find(const void* object)
    {
        for (member& candidate : members) {
            if (candidate.object == object) {
                return &candidate;
            }
        }
        return nullptr;
    }

    void add(void* object, socket_handle (*handle_of)(void*))
    {
        if (find(object) != nullptr) {
            return;
        }
        members.push_back({object, handle_of, nullptr, -1, false, {}});
        // Room for every member now, so that no wait has to allocate.
        items.reserve(members.size());
        changed = true;
        note_polled(object, this);
    }

    bool remove(const void* object)
    {
        const auto found = std::find_if(members.begin(), members.end(),
                                        [object](const member& candidate) { return candidate.object == object; });
        if (found == members.end()) {
            return false;
        }
        members.erase(found);
        changed = true;
        return true;
    }

    // The poll items are rebuilt only when a member came, went or changed
    // its ZeroMQ socket.
    void rebuild_items()
    {
        items.clear();
        for (member& entry : members) {
            entry.item = -1;
            if (entry.polled != nullptr) {
                entry.item = static_cast<int>(items.size());
                items.push_back({entry.polled, 0, ZMQ_POLLIN, 0});
            }
        }
        changed = false;
    }

    std::vector<member> members;
    std::vector<zmq_pollitem_t> items;
    bool changed = false;
};

namespace {

// How often a wait without limit tries again to create a socket that could
// not be created.
constexpr int32_t socket_retry_ms = 1000;

template <class Socket>
socket_handle handle_of(void* object)
{
    return vorzmq_socket_access::handle(*static_cast<Socket*>(object));
}

// Which pollers hold which socket objects. Touched only by adds, removes and
// the destruction of a socket object while some poller holds anything.
struct membership_registry {
    std::mutex mutex;
    std::unordered_multimap<const void*, poll_set*> holders;
};

std::atomic<size_t> memberships{0};

membership_registry& registry()
{
    // Never destroyed: socket objects of static duration may outlive it.
    static auto* const instance = new membership_registry;
    return *instance;
}

}  // namespace

void note_polled(const void* object, poll_set* holder)
{
    membership_registry& shared = registry();
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.holders.emplace(object, holder);
    ++memberships;
}

void note_unpolled(const void* object, poll_set* holder)
{
    membership_registry& shared = registry();
    std::lock_guard<std::mutex> lock(shared.mutex);
    const auto [first, last] = shared.holders.equal_range(object);
    for (auto entry = first; entry != last; ++entry) {
        if (entry->second == holder) {
            shared.holders.erase(entry);
            --memberships;
            return;
        }
    }
}

bool leave_pollers(const void* object)
{
    if (memberships.load() == 0) {
        return false;
    }
    membership_registry& shared = registry();
    std::lock_guard<std::mutex> lock(shared.mutex);
    const auto [first, last] = shared.holders.equal_range(object);
    bool held = false;
    for (auto entry = first; entry != last; ++entry) {
        held = entry->second->remove(object) || held;
        --memberships;
    }
    shared.holders.erase(first, last);
    return held;
}

}  // namespace vorzmq::internal

using namespace vorzmq::internal;

struct vorzmq_poller::state : poll_set {};

vorzmq_poller::vorzmq_poller() : self(new state) {}

vorzmq_poller::~vorzmq_poller()
{
    for (const state::member& entry : self->members) {
        note_unpolled(entry.object, self);
    }
    delete self;
}

void vorzmq_poller::add(vorzmq_request_socket& socket)
{
    self->add(&socket, handle_of<vorzmq_request_socket>);
}

void vorzmq_poller::add(vorzmq_reply_socket& socket)
{
    self->add(&socket, handle_of<vorzmq_reply_socket>);
}

void vorzmq_poller::add(vorzmq_sub_socket& socket)
{
    self->add(&socket, handle_of<vorzmq_sub_socket>);
}

void vorzmq_poller::remove(vorzmq_request_socket& socket)
{
    if (self->remove(&socket)) {
        note_unpolled(&socket, self);
    }
}

void vorzmq_poller::remove(vorzmq_reply_socket& socket)
{
    if (self->remove(&socket)) {
        note_unpolled(&socket, self);
    }
}

void vorzmq_poller::remove(vorzmq_sub_socket& socket)
{
    if (self->remove(&socket)) {
        note_unpolled(&socket, self);
    }
}

bool vorzmq_poller::readable(const vorzmq_request_socket& socket) const
{
    const state::member* found = self->find(&socket);
    return found != nullptr && found->readable;
}

bool vorzmq_poller::readable(const vorzmq_reply_socket& socket) const
{
    const state::member* found = self->find(&socket);
    return found != nullptr && found->readable;
}

bool vorzmq_poller::readable(const vorzmq_sub_socket& socket) const
{
    const state::member* found = self->find(&socket);
    return found != nullptr && found->readable;
}

int vorzmq_poller::wait(int32_t timeout_ms)
{
    static constexpr char signature[] = "int vorzmq_poller::wait(int32_t)";
    for (;;) {
        bool creation_failed = false;
        for (state::member& entry : self->members) {
            socket_handle handle = entry.handle_of(entry.object);
            void* polled = nullptr;
            const auto now = std::chrono::steady_clock::now();
            if (now >= entry.retry_after) {
                // A failed bind does not pause the wait, which serves the
                // other sockets meanwhile; the bind is tried again after the
                // pause its receive would have taken.
                handle.pause_after_failed_attach = false;
                polled = socket_for_receive(handle);
                if (handle.attach_failed && handle.kind.pause_after_failed_attach_s != 0) {
                    entry.retry_after = now + std::chrono::seconds(handle.kind.pause_after_failed_attach_s);
                }
            }
            creation_failed = creation_failed || (polled == nullptr && handle.kind.created_by_receive);
            if (polled != entry.polled) {
                entry.polled = polled;
                self->changed = true;
            }
        }
        if (self->changed) {
            self->rebuild_items();
        }

        const bool retry = creation_failed && timeout_ms < 0;
        const long pass_timeout_ms = retry ? socket_retry_ms : timeout_ms;
        // Without any socket, poll(2) still waits out the time-out or a
        // signal, where zmq_poll would sleep a fixed time even for -1.
        const int ready = self->items.empty()
                              ? poll(nullptr, 0, static_cast<int>(pass_timeout_ms))
                              : zmq_poll(self->items.data(), static_cast<int>(self->items.size()), pass_timeout_ms);
        const int err = ready < 0 ? zmq_errno() : 0;
        for (state::member& entry : self->members) {
            entry.readable = ready > 0 && entry.item >= 0 && (self->items[entry.item].revents & ZMQ_POLLIN) != 0;
        }
        if (ready > 0) {
            return ready;
        }
        if (ready == 0) {
            if (retry) {
                continue;
            }
            LOG4CXX_TRACE(logger, "No Messages Received Before Timeout: " << timeout_ms << "ms");
            return 0;
        }
        if (err == EINTR) {
            return 0;  // the host's loop looks at its stop flag
        }
        LOG4CXX_ERROR(logger, "Failed to Poll Sockets -- " << zmq_strerror(err));
        record(vorzmq_result::receive_failed, err);
        return -1;
    }
}

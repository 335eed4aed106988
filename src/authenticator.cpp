// SPDX-License-Identifier: MIT
// The authenticator: answers libzmq's ZAP requests (RFC 27) for one context
// on a thread of its own, admitting CURVE clients of servers with an
// allow-list by the certificates in a folder that it keeps watching.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <zmq.h>

#include "allow_folder.h"
#include "curve.h"
#include "frame.h"
#include "lifecycle.h"
#include "logging.h"
#include "wire.h"

namespace vorzmq::internal {
namespace {

using clock = std::chrono::steady_clock;

constexpr char zap_endpoint[] = "inproc://zeromq.zap.01";
constexpr char run_signature[] = "void vorzmq_authenticator::run()";

// Refusals are logged at most this often.
constexpr auto refusal_record_interval = std::chrono::seconds(1);

// One WARN a second at most; each record counts the refusals it stands for
// and names the latest.
class refusal_log {
public:
    void refused(clock::time_point now, const std::string& address, const std::string& key, const char* reason)
    {
        ++held;
        latest_address = address;
        latest_key = key;
        latest_reason = reason;
        flush_if_due(now);
    }

    void flush_if_due(clock::time_point now)
    {
        static constexpr const char* signature = run_signature;
        if (held == 0 || (logged_any && now - last_record < refusal_record_interval)) {
            return;
        }
        const std::string key = latest_key.empty() ? "none" : latest_key.substr(0, 8) + "...";
        if (held == 1) {
            LOG4CXX_WARN(logger, "Refused CURVE Client -- Address: " << latest_address << " -- Key: " << key << " -- "
                                                                     << latest_reason);
        } else {
            LOG4CXX_WARN(logger, "Refused " << held << " CURVE Clients Since the Last Record -- Latest Address: "
                                            << latest_address << " -- Key: " << key << " -- " << latest_reason);
        }
        held = 0;
        last_record = now;
        logged_any = true;
    }

    // How long the next wait may last before held refusals are due (-1: none held).
    long wait_ms(clock::time_point now) const
    {
        if (held == 0) {
            return -1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(last_record + refusal_record_interval - now);
        return std::max<long>(0, left.count() + 1);
    }

private:
    size_t held = 0;
    std::string latest_address;
    std::string latest_key;
    const char* latest_reason = "";
    clock::time_point last_record{};
    bool logged_any = false;
};

struct zap_reply {
    const char* status;
    const char* text;
    std::string user;
};

// Reads one ZAP request: at most a few short frames, as libzmq sends them.
bool receive_request(void* socket, std::vector<std::string>& frames)
{
    frames.clear();
    bool more = true;
    while (more) {
        frame part;
        if (zmq_msg_recv(&part.message, socket, 0) < 0) {
            return false;
        }
        more = part.more();
        if (frames.size() < 8) {
            frames.emplace_back(part.data(), std::min<size_t>(part.size(), 512));
        }
    }
    return true;
}

bool send_reply(void* socket, const std::string& request_id, const zap_reply& reply)
{
    const std::string frames[] = {"1.0", request_id, reply.status, reply.text, reply.user, ""};
    for (size_t i = 0; i < std::size(frames); ++i) {
        const int flags = i + 1 < std::size(frames) ? ZMQ_SNDMORE : 0;
        if (zmq_send(socket, frames[i].data(), frames[i].size(), flags) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace vorzmq::internal

using namespace vorzmq::internal;

struct vorzmq_authenticator::state {
    void* context;
    std::string directory;
    mutable std::mutex addresses_lock;
    std::vector<std::string> addresses;  // empty: any

    // Owned by the thread while it runs.
    void* zap = nullptr;
    void* control_inside = nullptr;
    void* control_outside = nullptr;  // the host's end, to stop the thread
    std::thread thread;
    // True exactly while the thread serves: it clears this as it ends, for
    // whatever reason.
    std::atomic<bool> serving{false};
    std::atomic<uint64_t> refused{0};

    bool address_allowed(const std::string& address) const
    {
        const std::lock_guard<std::mutex> held(addresses_lock);
        return addresses.empty() || std::find(addresses.begin(), addresses.end(), address) != addresses.end();
    }

    zap_reply judge(const std::vector<std::string>& request, allow_folder& allowed, refusal_log& refusals)
    {
        // version, request id, domain, address, routing id, mechanism, credentials...
        if (request.size() < 6 || request[0] != "1.0") {
            return {"500", "Malformed ZAP Request", {}};
        }
        const std::string& domain = request[2];
        const std::string& address = request[3];
        const std::string& mechanism = request[5];
        // What the library's sockets get without an authenticator.
        if (domain == zap_domain) {
            return {"200", "OK", {}};
        }
        std::string key;
        if (mechanism == "CURVE" && request.size() == 7 && request[6].size() == 32) {
            char text[41];
            if (zmq_z85_encode(text, reinterpret_cast<const uint8_t*>(request[6].data()), 32) != nullptr) {
                key.assign(text, 40);
            }
        }
        const clock::time_point now = clock::now();
        const char* refusal = nullptr;
        if (domain != allow_list_zap_domain) {
            refusal = "Unknown ZAP Domain";
        } else if (key.empty()) {
            refusal = "Not a CURVE Client";
        } else {
            allowed.catch_up(now);
            if (!allowed.readable() || !allowed.allows(key)) {
                refusal = "Key Not Allowed";
            } else if (!address_allowed(address)) {
                refusal = "Address Not Allowed";
            }
        }
        if (refusal != nullptr) {
            refused.fetch_add(1, std::memory_order_relaxed);
            refusals.refused(now, loggable(address), key, refusal);
            return {"400", refusal, {}};
        }
        return {"200", "OK", key};
    }

    void run(allow_folder allowed)
    {
        static constexpr const char* signature = run_signature;
        refusal_log refusals;
        std::vector<std::string> request;
        for (;;) {
            const clock::time_point now = clock::now();
            zmq_pollitem_t items[] = {{zap, 0, ZMQ_POLLIN, 0},
                                      {control_inside, 0, ZMQ_POLLIN, 0},
                                      {nullptr, allowed.change_descriptor(), ZMQ_POLLIN, 0}};
            const long refusals_due = refusals.wait_ms(now);
            const long rescan_due = allowed.wait_ms(now);
            const long wait = refusals_due < 0 ? rescan_due
                              : rescan_due < 0 ? refusals_due
                                               : std::min(refusals_due, rescan_due);
            const int ready = zmq_poll(items, items[2].fd >= 0 ? 3 : 2, wait);
            if (ready < 0) {
                if (zmq_errno() == EINTR) {
                    continue;
                }
                const int err = zmq_errno();
                LOG4CXX_ERROR(logger, "Authenticator Stopped -- " << zmq_strerror(err) << " -- Admitting None");
                break;  // the context is ending
            }
            if ((items[1].revents & ZMQ_POLLIN) != 0) {
                break;
            }
            // Changes first: a handshake is judged by the folder as it is now.
            allowed.catch_up(clock::now());
            if ((items[0].revents & ZMQ_POLLIN) != 0 && receive_request(zap, request)) {
                const std::string request_id = request.size() > 1 ? request[1] : std::string();
                if (!send_reply(zap, request_id, judge(request, allowed, refusals))) {
                    const int err = zmq_errno();
                    LOG4CXX_ERROR(logger, "Failed to Send ZAP Reply -- " << zmq_strerror(err));
                }
            }
            refusals.flush_if_due(clock::now());
        }
        refusals.flush_if_due(clock::time_point::max());
        close_socket(zap);
        close_socket(control_inside);
        serving = false;
    }

    // Ends a thread that still runs, or collects one that has ended.
    void end_thread()
    {
        if (!thread.joinable()) {
            return;
        }
        if (serving) {
            // A failed send leaves the thread waiting; the context's end stops it.
            zmq_send(control_outside, "", 0, 0);
        }
        thread.join();
        close_socket(control_outside);
        serving = false;
        note_object_gone(context);
    }

    void close_all()
    {
        close_socket(zap);
        close_socket(control_inside);
        close_socket(control_outside);
    }
};

namespace {

// libzmq releases an inproc name on its reaper thread, a moment after the
// socket that held it was closed: a restart right after a stop waits for it.
int bind_when_released(void* socket, const char* endpoint)
{
    constexpr auto longest_wait = std::chrono::seconds(2);
    const auto deadline = clock::now() + longest_wait;
    auto pause = std::chrono::milliseconds(1);
    while (zmq_bind(socket, endpoint) != 0) {
        if (zmq_errno() != EADDRINUSE || clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    return 0;
}

std::atomic<unsigned long> control_endpoints{0};

}  // namespace

vorzmq_authenticator::vorzmq_authenticator(vorzmq_context& owner) : self(new state)
{
    self->context = owner.context;
}

vorzmq_authenticator::~vorzmq_authenticator()
{
    stop();
    delete self;
}

bool vorzmq_authenticator::start(const std::string& directory)
{
    static constexpr char signature[] = "bool vorzmq_authenticator::start(const string&)";
    if (self->serving) {
        return true;
    }
    self->end_thread();  // one that ended by itself
    if (self->context == nullptr) {
        LOG4CXX_ERROR(logger, "Cannot Start Authenticator without Valid Context");
        return false;
    }
    allow_folder allowed(directory);
    if (!allowed.load()) {
        LOG4CXX_ERROR(logger, "Cannot Start Authenticator -- Allowed CURVE Clients Unreadable: " << loggable(directory));
        return false;
    }
    const std::string control = "inproc://vorzmq.authenticator." + std::to_string(++control_endpoints);
    const int no_linger = 0;
    self->zap = zmq_socket(self->context, ZMQ_REP);
    self->control_inside = zmq_socket(self->context, ZMQ_PAIR);
    self->control_outside = zmq_socket(self->context, ZMQ_PAIR);
    if (self->zap == nullptr || self->control_inside == nullptr || self->control_outside == nullptr ||
        zmq_setsockopt(self->zap, ZMQ_LINGER, &no_linger, sizeof no_linger) != 0 ||
        zmq_setsockopt(self->control_outside, ZMQ_LINGER, &no_linger, sizeof no_linger) != 0 ||
        bind_when_released(self->zap, zap_endpoint) != 0 || zmq_bind(self->control_inside, control.c_str()) != 0 ||
        zmq_connect(self->control_outside, control.c_str()) != 0) {
        const int err = zmq_errno();
        LOG4CXX_ERROR(logger, "Failed to Bind ZAP Handler: " << zap_endpoint << " -- " << zmq_strerror(err));
        self->close_all();
        return false;
    }
    self->directory = directory;
    // The host's signals stay on the host's threads; its mask comes back
    // on every path.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        self->serving = true;
        self->thread = std::thread([state = self, list = std::move(allowed)]() mutable { state->run(std::move(list)); });
    } catch (const std::exception& error) {
        self->serving = false;
        LOG4CXX_ERROR(logger, "Failed to Start Authenticator Thread -- " << error.what());
        self->close_all();
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (self->thread.joinable()) {
        note_object_made(self->context);  // its control socket holds the context until stop()
    }
    if (self->serving) {
        LOG4CXX_DEBUG(logger, "Authenticator Started: " << loggable(directory));
    }
    return self->thread.joinable();
}

void vorzmq_authenticator::stop()
{
    static constexpr char signature[] = "void vorzmq_authenticator::stop()";
    if (!self->thread.joinable()) {
        return;
    }
    self->end_thread();
    LOG4CXX_DEBUG(logger, "Authenticator Stopped: " << loggable(self->directory));
}

bool vorzmq_authenticator::running() const
{
    return self->serving;
}

uint64_t vorzmq_authenticator::refusals() const
{
    return self->refused.load(std::memory_order_relaxed);
}

void vorzmq_authenticator::set_allowed_addresses(const std::vector<std::string>& addresses)
{
    const std::lock_guard<std::mutex> held(self->addresses_lock);
    self->addresses = addresses;
}

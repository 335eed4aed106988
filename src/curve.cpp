// SPDX-License-Identifier: MIT
// CURVE settings of socket objects, applied to each socket they create, and
// the certificate reader of the public API.
#include "curve.h"

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include <zmq.h>

#include "lifecycle.h"
#include "logging.h"
#include "outcome.h"
#include "wire.h"

namespace vorzmq::internal {
namespace {

struct curve_setting {
    bool usable;  // false: the keys given were not keys; no socket at all
    bool server;
    vorzmq_curve_clients clients;
    std::string secret_key;
    std::string public_key;  // a client's own
    std::string server_key;  // a client's server
    // A client's view of its current socket's handshakes (libzmq's monitor
    // events, read without a thread).
    void* monitor = nullptr;
    // Refused handshakes in a row, and when the next may be tried.
    unsigned refusals = 0;
    std::chrono::steady_clock::time_point retry_after{};
    // Whether the current socket completed a handshake; until it has, a
    // request's wait for its reply watches the handshakes too. A failure
    // seen in that wait is kept for the report that follows it.
    bool handshake_done = false;
    int seen_failure = 0;
    uint32_t seen_failure_value = 0;
    bool clear_text_watch = false;  // counted in clear_text_watches
};

// Each watch is two libzmq sockets of the host's context, and a client in
// clear text, unlike one over CURVE, never asked for it: at most this many
// such watches are open at once (each closes once its socket connected), so
// that a host's pool of sockets never runs into libzmq's socket limit on
// their account. Clients beyond them are told no reply instead.
constexpr size_t most_clear_text_watches = 32;
size_t clear_text_watches = 0;  // under the registry's mutex

bool is_clear_text(const curve_setting& setting)
{
    return !setting.server && setting.server_key.empty();
}

// The pause before a refused client tries again: doubling, capped.
constexpr auto first_refusal_pause = std::chrono::milliseconds(250);
constexpr auto longest_refusal_pause = std::chrono::milliseconds(8000);

struct curve_registry {
    std::mutex mutex;
    std::unordered_map<const void*, curve_setting> settings;
};

// Sockets of objects without settings never take the lock.
std::atomic<size_t> objects_with_settings{0};

curve_registry& registry()
{
    // Never destroyed: socket objects of static duration may outlive it.
    static auto* const instance = new curve_registry;
    return *instance;
}

void keep(const void* object, curve_setting setting)
{
    curve_registry& shared = registry();
    const std::lock_guard<std::mutex> held(shared.mutex);
    const auto found = shared.settings.find(object);
    if (found != shared.settings.end()) {
        setting.monitor = found->second.monitor;
        setting.clear_text_watch = found->second.clear_text_watch;
        found->second = std::move(setting);
        return;
    }
    shared.settings.emplace(object, std::move(setting));
    ++objects_with_settings;
}

constexpr int handshake_events = ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL |
                                 ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH;

// Takes the setting's watch out, to be closed by the caller. Under the
// registry's mutex.
void* take_monitor(curve_setting& setting)
{
    if (std::exchange(setting.clear_text_watch, false)) {
        --clear_text_watches;
    }
    return std::exchange(setting.monitor, nullptr);
}

// Watches the handshakes of a client's new socket; the watch of its previous
// socket, which libzmq ended when it closed that socket, is closed here.
// Without a watch the socket is as secure, only its refusals look like
// time-outs.
void watch_handshakes(const char* signature, const socket_handle& handle)
{
    curve_registry& shared = registry();
    // Names are never used twice: libzmq releases the name of a closed
    // socket's watch in the background.
    static std::atomic<unsigned long> watches{0};
    const unsigned long number = watches++;
    void* previous = nullptr;
    bool clear_text = false;
    bool over_the_limit = false;
    {
        const std::lock_guard<std::mutex> held(shared.mutex);
        curve_setting& kept = shared.settings.at(handle.object);
        previous = take_monitor(kept);
        clear_text = is_clear_text(kept);
        over_the_limit = clear_text && clear_text_watches >= most_clear_text_watches;
        if (clear_text && !over_the_limit) {
            ++clear_text_watches;  // taken now, given back below on a failure
        }
    }
    if (previous != nullptr) {
        zmq_close(previous);
    }
    if (over_the_limit) {
        return;
    }
    char name[80];
    std::snprintf(name, sizeof name, "inproc://vorzmq.handshakes.%lu", number);
    // libzmq sends events from its I/O thread and blocks there when the
    // watch is full: no limit on this side, and the events are read at each
    // time-out of the object.
    const int no_limit = 0;
    void* monitor = zmq_socket(handle.context, ZMQ_PAIR);
    if (monitor == nullptr || zmq_setsockopt(monitor, ZMQ_RCVHWM, &no_limit, sizeof no_limit) != 0 ||
        zmq_socket_monitor(handle.socket, name, handshake_events) != 0 || zmq_connect(monitor, name) != 0) {
        const int err = zmq_errno();
        LOG4CXX_WARN(logger, "Failed to Watch CURVE Handshakes -- " << zmq_strerror(err));
        zmq_close(monitor);
        if (clear_text) {
            const std::lock_guard<std::mutex> held(shared.mutex);
            --clear_text_watches;
        }
        return;
    }
    const std::lock_guard<std::mutex> held(shared.mutex);
    curve_setting& kept = shared.settings.at(handle.object);
    kept.monitor = monitor;
    kept.clear_text_watch = clear_text;
    kept.handshake_done = false;
    kept.seen_failure = 0;
}

// Refusals are read at the object's time-outs: a socket that waits for ever
// has none, and a watch that nobody reads would keep every failed attempt.
bool handshakes_worth_watching(const socket_handle& handle)
{
    return handle.receive_timeout_ms >= 0;
}

// The last handshake event waiting on the watch: the failure, 0 when the
// last handshake succeeded, `no_event` when none is waiting. Each event is
// two frames: the event number and value, then the endpoint.
constexpr int no_event = -1;

int last_handshake_failure(void* monitor, uint32_t& value, unsigned* ended_without_cause = nullptr)
{
    int failure = no_event;
    for (;;) {
        zmq_msg_t message;
        zmq_msg_init(&message);
        if (zmq_msg_recv(&message, monitor, ZMQ_DONTWAIT) < 0) {
            zmq_msg_close(&message);
            return failure;
        }
        uint16_t event = 0;
        if (zmq_msg_size(&message) >= 6) {
            std::memcpy(&event, zmq_msg_data(&message), sizeof event);
            std::memcpy(&value, static_cast<const char*>(zmq_msg_data(&message)) + 2, sizeof value);
        }
        while (zmq_msg_more(&message) != 0 && zmq_msg_recv(&message, monitor, ZMQ_DONTWAIT) >= 0) {
        }
        zmq_msg_close(&message);
        failure = event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED ? 0 : event;
        if (ended_without_cause != nullptr) {
            *ended_without_cause = failure == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL ? *ended_without_cause + 1 : 0;
        }
    }
}

// Handshakes in a row that the server ended without a cause, after which a
// waiting client takes it as a refusal: libzmq tries again every 100 ms, and
// a clear-text client whose CURVE server closes first learns nothing more.
constexpr unsigned handshakes_ended_for_a_refusal = 3;

void note_refusal_or_success(const void* object, bool refused)
{
    curve_registry& shared = registry();
    const std::lock_guard<std::mutex> held(shared.mutex);
    const auto found = shared.settings.find(object);
    if (found == shared.settings.end()) {
        return;
    }
    curve_setting& kept = found->second;
    kept.refusals = refused ? kept.refusals + 1 : 0;
    const auto pause = std::min<std::chrono::milliseconds>(first_refusal_pause * (1 << std::min(kept.refusals, 6u)) / 2,
                                                           longest_refusal_pause);
    kept.retry_after = std::chrono::steady_clock::now() + pause;
}

bool find(const void* object, curve_setting& setting)
{
    if (objects_with_settings.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    curve_registry& shared = registry();
    const std::lock_guard<std::mutex> held(shared.mutex);
    const auto found = shared.settings.find(object);
    if (found == shared.settings.end()) {
        return false;
    }
    setting = found->second;
    return true;
}

bool set_text(const char* signature, void* socket, int option, const char* name, const std::string& value)
{
    if (zmq_setsockopt(socket, option, value.data(), value.size()) == 0) {
        return true;
    }
    const int err = zmq_errno();
    record(vorzmq_result::no_socket, err);
    LOG4CXX_ERROR(logger, "Failed to Set Socket " << name << " -- " << zmq_strerror(err) << " -- Closing Socket");
    return false;
}

bool set_int(const char* signature, void* socket, int option, const char* name, int value)
{
    if (zmq_setsockopt(socket, option, &value, sizeof value) == 0) {
        return true;
    }
    const int err = zmq_errno();
    record(vorzmq_result::no_socket, err);
    LOG4CXX_ERROR(logger, "Failed to Set Socket " << name << " (" << value << ") -- " << zmq_strerror(err)
                                                 << " -- Closing Socket");
    return false;
}

// Records the setting; an unusable one too, so that the object makes no
// socket in clear text. A socket already open is replaced by the next
// operation.
bool settle(const char* signature, const void* object, curve_setting setting, void* socket, bool& reset_pending)
{
    const bool usable = setting.usable;
    keep(object, std::move(setting));
    if (socket != nullptr) {
        reset_pending = true;
    }
    if (!usable) {
        LOG4CXX_ERROR(logger, "Invalid CURVE Key (Not 40 Z85 Characters) -- No Socket Until Valid Keys Are Given");
    }
    return usable;
}

bool set_server(const char* signature, const void* object, const std::string& secret_key,
                vorzmq_curve_clients clients, void* socket, bool& reset_pending)
{
    const bool known_clients = clients == vorzmq_curve_clients::any || clients == vorzmq_curve_clients::allowed;
    curve_setting setting{.usable = valid_z85_key(secret_key) && known_clients,
                          .server = true,
                          .clients = clients,
                          .secret_key = secret_key,
                          .public_key = {},
                          .server_key = {}};
    return settle(signature, object, std::move(setting), socket, reset_pending);
}

bool set_client(const char* signature, const void* object, const std::string& server_key,
                const std::string& secret_key, void* socket, bool& reset_pending)
{
    curve_setting setting{.usable = false,
                          .server = false,
                          .clients = vorzmq_curve_clients::any,
                          .secret_key = secret_key,
                          .public_key = public_key_of(secret_key),
                          .server_key = server_key};
    if (secret_key.empty()) {
        char public_key[41];
        char fresh_secret[41];
        if (zmq_curve_keypair(public_key, fresh_secret) == 0) {
            setting.public_key.assign(public_key, 40);
            setting.secret_key.assign(fresh_secret, 40);
        }
    }
    setting.usable = valid_z85_key(server_key) && !setting.public_key.empty();
    return settle(signature, object, std::move(setting), socket, reset_pending);
}

enum class after_taking { keep_settings, forget_settings };

// Takes the object's handshake watch out of the registry (null when it has
// none), and with it, on request, the object's settings.
void* take_watch(const void* object, after_taking then)
{
    if (objects_with_settings.load(std::memory_order_relaxed) == 0) {
        return nullptr;
    }
    curve_registry& shared = registry();
    const std::lock_guard<std::mutex> held(shared.mutex);
    const auto found = shared.settings.find(object);
    if (found == shared.settings.end()) {
        return nullptr;
    }
    void* const monitor = take_monitor(found->second);
    if (then == after_taking::forget_settings) {
        shared.settings.erase(found);
        --objects_with_settings;
    }
    return monitor;
}

// A client in clear text gets a setting too, holding only the watch of its
// handshakes: a CURVE server refuses it, which it would otherwise take for
// silence. Returns whether the object has a setting now.
bool find_or_add_clear_text(const socket_handle& handle, curve_setting& setting)
{
    if (find(handle.object, setting)) {
        return true;
    }
    if (handle.kind.binds || !handshakes_worth_watching(handle)) {
        return false;
    }
    setting = curve_setting{.usable = true,
                            .server = false,
                            .clients = vorzmq_curve_clients::any,
                            .secret_key = {},
                            .public_key = {},
                            .server_key = {}};
    keep(handle.object, setting);
    return true;
}

}  // namespace

bool apply_curve(const char* signature, const socket_handle& handle)
{
    curve_setting setting;
    if (!find_or_add_clear_text(handle, setting)) {
        return true;
    }
    if (!setting.usable) {
        record(vorzmq_result::no_socket, EINVAL);
        LOG4CXX_ERROR(logger, "Invalid CURVE Keys for ZMQ URL: " << handle.url << " -- Closing Socket");
        return false;
    }
    void* const socket = handle.socket;
    if (setting.server) {
        const bool allowed_only = setting.clients == vorzmq_curve_clients::allowed;
        // The authenticator tells the servers with an allow-list by their
        // domain; without an authenticator they refuse everyone.
        return set_int(signature, socket, ZMQ_CURVE_SERVER, "CURVE Server", 1) &&
               set_text(signature, socket, ZMQ_CURVE_SECRETKEY, "CURVE Secret Key", setting.secret_key) &&
               (!allowed_only ||
                (set_text(signature, socket, ZMQ_ZAP_DOMAIN, "ZAP Domain", allow_list_zap_domain) &&
                 set_int(signature, socket, zap_enforce_domain_option, "ZAP Enforce Domain", 1)));
    }
    if (!is_clear_text(setting) &&
        (!set_text(signature, socket, ZMQ_CURVE_SERVERKEY, "CURVE Server Key", setting.server_key) ||
         !set_text(signature, socket, ZMQ_CURVE_PUBLICKEY, "CURVE Public Key", setting.public_key) ||
         !set_text(signature, socket, ZMQ_CURVE_SECRETKEY, "CURVE Secret Key", setting.secret_key))) {
        return false;
    }
    if (handshakes_worth_watching(handle)) {
        watch_handshakes(signature, handle);
    } else {
        stop_watching_handshakes(handle.object, nullptr);
    }
    return true;
}

void follow_receive_timeout(const char* signature, const socket_handle& handle)
{
    curve_setting setting;
    if (handle.socket == nullptr || !find_or_add_clear_text(handle, setting) || setting.server) {
        return;
    }
    if (!handshakes_worth_watching(handle)) {
        stop_watching_handshakes(handle.object, handle.socket);
    } else if (setting.monitor == nullptr) {
        watch_handshakes(signature, handle);
    }
}

bool report_curve_refusal(const char* signature, const void* object, void* socket, const std::string& url,
                          const char* what)
{
    curve_setting setting;
    if (!find(object, setting) || setting.monitor == nullptr) {
        return false;
    }
    uint32_t value = setting.seen_failure_value;
    int failure = setting.seen_failure;
    uint32_t later_value = 0;
    const int later = last_handshake_failure(setting.monitor, later_value);
    if (later != no_event) {
        failure = later;
        value = later_value;
    }
    if (failure != 0 || setting.refusals != 0) {
        note_refusal_or_success(object, failure != 0);
    }
    if (failure == 0) {
        if (later == 0 && is_clear_text(setting)) {
            stop_watching_handshakes(object, socket);  // connected: see wait_for_reply_or_refusal
        }
        return false;
    }
    const bool mechanisms_differ =
        failure == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL && value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH;
    // A server that ends a clear-text client's handshakes most likely
    // wants CURVE: it saw the mismatch first and closed.
    const bool likely_mechanisms_differ =
        mechanisms_differ || (failure == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL && is_clear_text(setting));
    // The closed socket would linger and connect again, and a server that
    // admits the client by then would get what was reported as refused.
    const int no_linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &no_linger, sizeof no_linger);
    record(vorzmq_result::refused, failure == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH ? EACCES
                                   : likely_mechanisms_differ                   ? EPROTONOSUPPORT
                                                                                : EPROTO);
    if (likely_mechanisms_differ && !mechanisms_differ) {
        LOG4CXX_ERROR(logger, what << url << " -- The Server Ended Every Handshake -- It May Want CURVE, This Client "
                                             "Is Clear Text");
    } else if (mechanisms_differ) {
        LOG4CXX_ERROR(logger, what << url
                                   << (is_clear_text(setting) ? " -- The Server Wants CURVE, This Client Is Clear Text"
                                                              : " -- The Server Is Clear Text, Not CURVE"));
    } else if (failure == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH) {
        LOG4CXX_ERROR(logger, what << url << " -- Client Not Admitted (Status " << value << ")");
    } else if (failure == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL) {
        LOG4CXX_ERROR(logger, what << url << " -- CURVE Handshake Failed -- Protocol Error " << value);
    } else {
        // The server closed the connection in the handshake, which libzmq
        // does not explain: it could not read the client's hello (a wrong
        // server key), it refuses everyone (an allow-list without its
        // authenticator), or it gave up waiting (its own handshake limit, a
        // busy authenticator, a restart).
        LOG4CXX_ERROR(logger, what << url
                                   << " -- CURVE Handshake Failed -- Wrong Server Key, Not Admitted, or the Server "
                                      "Gave Up on the Handshake");
    }
    return true;
}

int wait_for_reply_or_refusal(const void* object, void* socket, int flags, int32_t timeout_ms)
{
    if (socket == nullptr || (flags & ZMQ_DONTWAIT) != 0 || timeout_ms <= 0) {
        return flags;
    }
    // Read in place: a copy of the setting would copy its keys at every
    // receive.
    curve_setting setting;
    {
        if (objects_with_settings.load(std::memory_order_relaxed) == 0) {
            return flags;
        }
        curve_registry& shared = registry();
        const std::lock_guard<std::mutex> held(shared.mutex);
        const auto found = shared.settings.find(object);
        if (found == shared.settings.end() || found->second.monitor == nullptr || found->second.handshake_done) {
            return flags;
        }
        setting.server = found->second.server;
        setting.server_key = found->second.server_key;
        setting.monitor = found->second.monitor;
    }
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    const auto deadline = steady_clock::now() + milliseconds(timeout_ms);
    zmq_pollitem_t items[] = {{socket, 0, ZMQ_POLLIN, 0}, {setting.monitor, 0, ZMQ_POLLIN, 0}};
    unsigned ended_without_cause = 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            return flags | ZMQ_DONTWAIT;  // the time-out is spent
        }
        if (zmq_poll(items, 2, static_cast<long>(left)) < 0) {
            return flags;  // a signal: the receive tells it
        }
        if ((items[0].revents & ZMQ_POLLIN) != 0) {
            return flags;
        }
        if ((items[1].revents & ZMQ_POLLIN) != 0) {
            uint32_t value = 0;
            const int failure = last_handshake_failure(setting.monitor, value, &ended_without_cause);
            if (failure != no_event) {
                curve_registry& shared = registry();
                const std::lock_guard<std::mutex> held(shared.mutex);
                const auto found = shared.settings.find(object);
                if (found != shared.settings.end() && found->second.monitor == setting.monitor) {
                    found->second.handshake_done = failure == 0;
                    found->second.seen_failure = failure;
                    found->second.seen_failure_value = value;
                }
            }
            if (failure == 0) {
                // Connected: the receive waits for the reply as it always
                // has. Only the handshake, usually a few milliseconds, is
                // added to its time-out. A client in clear text has nothing
                // more to learn from the watch, which costs two descriptors.
                if (is_clear_text(setting)) {
                    stop_watching_handshakes(object, socket);
                }
                return flags;
            }
            // libzmq tries again by itself after a handshake that ended
            // without a cause; a refusal or a protocol error is final.
            if (failure == ZMQ_EVENT_HANDSHAKE_FAILED_AUTH || failure == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL ||
                ended_without_cause >= handshakes_ended_for_a_refusal) {
                return flags | ZMQ_DONTWAIT;  // refused: said now, not at the time-out
            }
        }
    }
}

long refusal_pause_left_ms(const void* object)
{
    curve_setting setting;
    if (!find(object, setting) || setting.refusals == 0) {
        return 0;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(setting.retry_after -
                                                                            std::chrono::steady_clock::now());
    return std::max<long>(0, left.count());
}

void stop_watching_handshakes(const void* object, void* socket)
{
    void* const monitor = take_watch(object, after_taking::keep_settings);
    if (monitor != nullptr) {
        if (socket != nullptr) {
            zmq_socket_monitor(socket, nullptr, 0);
        }
        zmq_close(monitor);
    }
}

void forget_curve(const void* object)
{
    void* const monitor = take_watch(object, after_taking::forget_settings);
    if (monitor != nullptr) {
        zmq_close(monitor);
    }
}

}  // namespace vorzmq::internal

using namespace vorzmq::internal;

bool vorzmq_read_certificate(const std::string& path, std::string& public_key, std::string& secret_key)
{
    static constexpr char signature[] = "bool vorzmq_read_certificate(const string&, string&, string&)";
    certificate parsed;
    std::string why;
    bool readable_by_others = false;
    if (!read_certificate_file(path, parsed, why, readable_by_others)) {
        public_key.clear();
        secret_key.clear();
        LOG4CXX_ERROR(logger, "Failed to Read CURVE Certificate: " << path << " -- " << why);
        return false;
    }
    if (!parsed.secret_key.empty() && readable_by_others) {
        LOG4CXX_WARN(logger, "CURVE Secret Key Readable by Others: " << path);
    }
    public_key = std::move(parsed.public_key);
    secret_key = std::move(parsed.secret_key);
    return true;
}

bool vorzmq_request_socket::set_curve_client(const std::string& server_public_key, const std::string& secret_key)
{
    static constexpr char signature[] = "bool vorzmq_request_socket::set_curve_client(const string&, const string&)";
    return set_client(signature, this, server_public_key, secret_key, socket, reset_pending);
}

bool vorzmq_sub_socket::set_curve_client(const std::string& server_public_key, const std::string& secret_key)
{
    static constexpr char signature[] = "bool vorzmq_sub_socket::set_curve_client(const string&, const string&)";
    return set_client(signature, this, server_public_key, secret_key, socket, reset_pending);
}

bool vorzmq_rebrdcst_socket::set_curve_client(const std::string& server_public_key, const std::string& secret_key)
{
    return request_socket.set_curve_client(server_public_key, secret_key);
}

bool vorzmq_reply_socket::set_curve_server(const std::string& secret_key, vorzmq_curve_clients clients)
{
    static constexpr char signature[] = "bool vorzmq_reply_socket::set_curve_server(const string&, vorzmq_curve_clients)";
    return set_server(signature, this, secret_key, clients, socket, reset_pending);
}

bool vorzmq_pub_socket::set_curve_server(const std::string& secret_key, vorzmq_curve_clients clients)
{
    static constexpr char signature[] = "bool vorzmq_pub_socket::set_curve_server(const string&, vorzmq_curve_clients)";
    return set_server(signature, this, secret_key, clients, socket, reset_pending);
}

// SPDX-License-Identifier: MIT
// How every socket of the project meets the wire, whichever side makes it:
// the library's socket classes and the tool's proxies alike. Endpoints and
// binding without takeover, the hardening of every socket, liveness
// (heartbeats, connect and handshake limits), and CURVE keys with the
// certificate files that hold them. Built once, as an internal library that
// both link; nothing here is exported.
#ifndef VORZMQ_WIRE_H
#define VORZMQ_WIRE_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorzmq::internal {

// Received text is cut at this length, as if read into a 4 MiB buffer that
// always keeps one byte for the terminating zero.
inline constexpr size_t longest_text = 4194304 - 1;

// The longest topic filter a publisher takes from a subscriber; a subscriber
// that sends a longer one is disconnected. Topics are names, not payloads.
inline constexpr size_t longest_subscription = 4096 - 1;

// The ZAP domain of every socket, and the one of CURVE servers that admit
// only allowed clients, which the authenticator tells apart.
inline constexpr char zap_domain[] = "vorzmq";
inline constexpr char allow_list_zap_domain[] = "vorzmq.allowed";
// ZMQ_ZAP_ENFORCE_DOMAIN, a draft in libzmq 4.3's header that its library
// handles: a socket with a ZAP domain and this option refuses every peer
// while no ZAP handler answers on its context, so an allow-list fails closed.
inline constexpr int zap_enforce_domain_option = 93;

// ---------------------------------------------------------------- endpoints

// The file system path of an ipc:// endpoint, or empty for other transports
// and for abstract names ("@name"), which the kernel itself keeps unique.
std::string ipc_path(const std::string& url);

// Whether a process listens on the ipc path.
bool ipc_listener_present(const std::string& path);

// zmq_bind that never takes over an ipc path where another process listens
// (it fails with EADDRINUSE, as tcp does), and that waits out this process's
// own listener of the same endpoint, which an asynchronous zmq_close may leave
// open for a moment after a reset. Returns zmq_bind's result; errno is set.
int bind_endpoint(void* socket, const std::string& url);

// What every socket gets besides its class's options: ZMTP 3 peers only,
// and on a binding socket a bound on inbound frames, longest_subscription on
// a publisher, and a small receive mark on the others, so that a peer holds
// at most a few messages' worth of a server (WARN when an option cannot be
// set; the record names `signature` as its function).
void harden_socket(const char* signature, void* socket, bool binds);

// Pauses so that a fresh bind can settle, then lets processes of the file's
// group connect to an ipc:// endpoint (WARN when it cannot).
void wait_for_file_to_manifest_and_set_perms(const std::string& url);

// ---------------------------------------------------------------- liveness

// Every socket made from a context without a setting of its own beats at
// this interval; a peer silent for three intervals is dropped.
inline constexpr int32_t default_heartbeat_interval_ms = 2000;

// A connection to a binding socket that has not finished its handshake by
// then is dropped (libzmq's own default is 30 s).
inline constexpr int32_t handshake_limit_ms = 5000;

// The interval for the sockets made from `context` from now on (0: none).
void set_heartbeat_interval(void* context, int32_t interval_ms);
int32_t heartbeat_interval(void* context);
// A context that is destroyed leaves its setting behind, so that a new one
// at the same address starts from the default.
void forget_heartbeat_interval(void* context);

struct liveness_option {
    int option;
    const char* name;  // as in "Failed to Set Socket <name> (<value>) -- "
    int32_t value;
};

// The options a new socket gets for its endpoint, in order; those without a
// name are not set.
std::array<liveness_option, 5> liveness_options(void* context, const std::string& url, bool binds);

// ---------------------------------------------------------------- CURVE keys

// Certificates are a few hundred bytes; anything much longer is not one.
inline constexpr size_t longest_certificate = 64 * 1024;

// Whether `key` is a CURVE key in Z85: 40 characters that decode to 32 bytes.
bool valid_z85_key(std::string_view key);

// The public key of a Z85 secret key, or empty when it is not one.
std::string public_key_of(std::string_view secret_key);

struct certificate {
    std::string public_key;  // Z85, always there
    std::string secret_key;  // Z85, empty in a public certificate
};

// Parses a certificate's text. Returns false and says why in `why` (a short
// text for a log record) when it is not exactly a certificate: bytes other
// than printable ASCII, tabs and line ends, indentation other than four
// spaces a level, sections other than `metadata` and `curve`, lines deeper
// than one level, malformed names or values, a key that is missing, given
// twice or not a key, or a secret key that does not belong to the public key.
bool parse_certificate(std::string_view text, certificate& parsed, std::string& why);

// Reads and parses the certificate file at `path` (a regular file of at most
// longest_certificate bytes). `readable_by_others` tells whether its mode
// lets group or others read it.
bool read_certificate_file(const std::string& path, certificate& parsed, std::string& why,
                           bool& readable_by_others);

// ---------------------------------------------------------------- peer text

// One character of a text: a well-formed UTF-8 sequence, or a single byte
// that starts none. `escaped` when it could act on a terminal or pass for
// something else in a log: C0 controls, DEL, C1 controls (raw or UTF-8),
// and the bidirectional embeddings, overrides and isolates (U+202A to
// U+202E, U+2066 to U+2069).
struct text_unit {
    size_t length;
    bool escaped;
    bool well_formed;
    unsigned code;  // the code point, when well formed
};
// The first character of non-empty `text`.
text_unit next_text_unit(std::string_view text);

// Appends byte `c` escaped: \t \n \r \\ by name, any other as `prefix`
// and two hex digits ("\x", or "\u00" in JSON).
void append_escaped_byte(std::string& out, char c, const char* prefix);

// A peer's text for a log record: at most `longest` bytes, escaped
// characters byte by byte, backslashes doubled, and a longer text marked
// with its size ("... (N bytes)").
std::string loggable(std::string_view text, size_t longest = 200);

// Records that a peer can set off at will are written at most once a
// second; those held back in between are counted, for the next record to
// tell.
class record_pace {
public:
    // Whether a record may be written now; if not, it is counted.
    bool due(std::chrono::steady_clock::time_point now);
    // The records held back since the last call, and none after it.
    size_t take_held_back();
    bool holding() const { return held_back != 0; }
    // Once a record may be written again: the records held back, which
    // that record is to tell (0 when none are, or it is too early).
    size_t held_back_due(std::chrono::steady_clock::time_point now);

private:
    std::chrono::steady_clock::time_point last_record{};
    bool logged_any = false;
    size_t held_back = 0;
};

}  // namespace vorzmq::internal

#endif  // VORZMQ_WIRE_H

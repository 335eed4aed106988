// SPDX-License-Identifier: MIT
// CURVE for the vorzmq commands: the --curve-secret, --allow and
// --curve-server options, the certificates they name (all read before any
// socket exists), the allow-list authenticator, and vorzmq keygen.
#ifndef VORZMQ_TOOL_SECURITY_H
#define VORZMQ_TOOL_SECURITY_H

#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

class vorzmq_context;
class vorzmq_authenticator;

namespace vorzmq_tool {

// What the user named on the command line.
struct curve_options {
    std::string secret_file;  // --curve-secret: this process's own certificate
    std::string allow_dir;    // --allow: public certificates of admitted clients
    std::string server_file;  // --curve-server: the server's (public) certificate
    // --curve-server of the commands that connect to several upstreams: one
    // certificate for all, or one for each in the order they were given.
    std::vector<std::string> upstream_server_files;
};

// The keys, read from the files. Empty keys: no CURVE.
struct curve_keys {
    std::string public_key;
    std::string secret_key;         // own key; empty: none given
    std::string server_public_key;  // the server's; empty: not a CURVE client
    std::string allow_dir;          // empty: every client that knows the key
    // One server key for each upstream, or none: server_public_key for all.
    std::vector<std::string> upstream_server_keys;
};

// The options of a command that binds (serve, publish, relay): --curve-secret
// and --allow, which needs it.
void add_curve_server_options(CLI::App& command, curve_options& options);
// The options of a command that connects (request, subscribe, rebroadcast):
// --curve-server and --curve-secret, which needs it.
void add_curve_client_options(CLI::App& command, curve_options& options);
// The options of a command that does both (listen, forward, balance):
// --curve-secret serves both sides, --curve-server makes the connecting
// side a CURVE client, --allow needs --curve-secret.
void add_curve_both_options(CLI::App& command, curve_options& options, const std::string& bound_side,
                            const std::string& connecting_side);

// Reads every certificate the options name, and checks that the --allow
// folder can be read. Throws usage_error naming the file on anything
// missing, unreadable or malformed, and on a --curve-secret file without a
// secret key. A secret file readable by others is told once on stderr.
curve_keys load_curve_keys(const curve_options& options, const std::string& command);

// The keys for the upstream at `index` of `upstream_count`: its own server
// key when one was given for each. Throws usage_error when --curve-server
// was given neither once nor once for each upstream.
curve_keys keys_for_upstream(const curve_keys& keys, std::size_t index, std::size_t upstream_count);

// Whether the binding sockets are CURVE servers, and with an allow-list.
inline bool is_curve_server(const curve_keys& keys)
{
    return !keys.secret_key.empty();
}
inline bool is_curve_client(const curve_keys& keys)
{
    return !keys.server_public_key.empty();
}

// Starts the authenticator of `context` on keys.allow_dir; null when no
// allow-list was asked for. Throws command_failure when it cannot start.
// Destroy it after the sockets and before the context.
std::unique_ptr<vorzmq_authenticator> start_allow_list(vorzmq_context& context, const curve_keys& keys);

// Makes `socket` a CURVE server or client as the keys say; does nothing
// without keys. Throws command_failure when the library refuses them.
template <typename socket_type>
void make_curve_server(socket_type& socket, const curve_keys& keys);
template <typename socket_type>
void make_curve_client(socket_type& socket, const curve_keys& keys);

// Why this thread's last exchange was refused (outcome `refused`), in words.
std::string refusal_cause();

// For the line that names a bound endpoint: " (CURVE, ...)" or nothing.
std::string curve_note(const curve_keys& keys);

// A subscriber that its server refuses keeps trying, since its key may be
// added to the server's allow-list later; this paces it. Each refusal is
// told on stderr, the first at once and then at most one line every 30 s
// with the count, and the next attempt is due 1 s later, doubling up to
// 8 s. A message received starts it afresh.
class refusal_pacer {
public:
    refusal_pacer(std::string command, std::string url);
    void refused();
    // Whether the next attempt is not yet due.
    bool waiting() const;
    void admitted() { attempts = 0; }

private:
    std::string command;
    std::string url;
    unsigned attempts = 0;
    unsigned long untold = 0;
    long long told_at_ms = -1;
    long long due_at_ms = 0;
};

// vorzmq keygen NAME [--dir DIR].
struct keygen_options {
    std::string name;
    std::string dir = ".";
};
void add_keygen_options(CLI::App& command, keygen_options& options);
int run_keygen(const keygen_options& options);

}  // namespace vorzmq_tool

#endif

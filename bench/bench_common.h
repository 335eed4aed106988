// SPDX-License-Identifier: MIT
// Helpers shared by the benchmark programs: endpoints, payloads and the
// raw libzmq socket set-up that mirrors what the library configures.
#ifndef VORZMQ_BENCH_COMMON_H
#define VORZMQ_BENCH_COMMON_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>

#include <zmq.h>

namespace vorzmq_bench {

// Received text is cut here, as the library does.
constexpr size_t longest_text = 4194304 - 1;

// The text a stream receive delivers: the bytes up to the first zero byte.
inline size_t text_length(const zmq_msg_t& message)
{
    auto& readable = const_cast<zmq_msg_t&>(message);  // libzmq's accessors take no const
    const char* data = static_cast<const char*>(zmq_msg_data(&readable));
    const size_t size = std::min(zmq_msg_size(&readable), longest_text);
    const void* zero = size == 0 ? nullptr : std::memchr(data, 0, size);
    return zero ? static_cast<size_t>(static_cast<const char*>(zero) - data) : size;
}

// Reads and drops the frames after a message's first, as a REQ or REP socket
// must before its next exchange; false when a receive fails.
inline bool discard_rest(void* socket, bool more)
{
    while (more) {
        zmq_msg_t extra;
        zmq_msg_init(&extra);
        const bool received = zmq_msg_recv(&extra, socket, 0) != -1;
        more = received && zmq_msg_more(&extra);
        zmq_msg_close(&extra);
        if (!received) {
            return false;
        }
    }
    return true;
}

// A private folder for ipc:// endpoint files, made once per process.
inline const std::string& endpoint_folder()
{
    static const std::string folder = [] {
        char name[] = "/tmp/vorzmq-bench-XXXXXX";
        if (mkdtemp(name) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        return std::string(name);
    }();
    return folder;
}

inline std::string ipc_url(const std::string& name)
{
    return "ipc://" + endpoint_folder() + "/" + name;
}

// A loopback port that is free now: the library binds by URL, so the port
// has to be known before it binds. A plain socket closes at once, where a
// libzmq listener would close later on its I/O thread.
inline std::string free_tcp_url()
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (probe < 0 || bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("no free loopback port");
        std::exit(1);
    }
    close(probe);
    return "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

// Text without zero bytes, so that the receives deliver all of it.
inline std::string payload(size_t size)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

inline void set_int_option(void* socket, int option, int value)
{
    if (zmq_setsockopt(socket, option, &value, sizeof value) != 0) {
        std::fprintf(stderr, "zmq_setsockopt(%d): %s\n", option, zmq_strerror(zmq_errno()));
        std::exit(1);
    }
}

// The CURVE keys of the encrypted pairs, library and raw alike.
struct curve_keys {
    char server_public[41];
    char server_secret[41];
    char client_public[41];
    char client_secret[41];
};

inline const curve_keys& bench_keys()
{
    static const curve_keys keys = [] {
        curve_keys made{};
        if (zmq_curve_keypair(made.server_public, made.server_secret) != 0 ||
            zmq_curve_keypair(made.client_public, made.client_secret) != 0) {
            std::fprintf(stderr, "zmq_curve_keypair: %s\n", zmq_strerror(zmq_errno()));
            std::exit(1);
        }
        return made;
    }();
    return keys;
}

inline void set_text_option(void* socket, int option, const char* value)
{
    if (zmq_setsockopt(socket, option, value, std::strlen(value)) != 0) {
        std::fprintf(stderr, "zmq_setsockopt(%d): %s\n", option, zmq_strerror(zmq_errno()));
        std::exit(1);
    }
}

// Makes a raw socket a CURVE server (binding) or client (connecting), as
// the library's set_curve_server and set_curve_client do.
inline void set_raw_curve(void* socket, bool binds)
{
    const curve_keys& keys = bench_keys();
    if (binds) {
        set_int_option(socket, ZMQ_CURVE_SERVER, 1);
        set_text_option(socket, ZMQ_CURVE_SECRETKEY, keys.server_secret);
        return;
    }
    set_text_option(socket, ZMQ_CURVE_SERVERKEY, keys.server_public);
    set_text_option(socket, ZMQ_CURVE_PUBLICKEY, keys.client_public);
    set_text_option(socket, ZMQ_CURVE_SECRETKEY, keys.client_secret);
}

// A raw socket with the options the library sets for the same role.
inline void* raw_socket(void* context, int type, const std::string& url, bool binds, bool curve = false)
{
    void* socket = zmq_socket(context, type);
    if (socket == nullptr) {
        std::fprintf(stderr, "zmq_socket: %s\n", zmq_strerror(zmq_errno()));
        std::exit(1);
    }
    if (type == ZMQ_PUB) {
        set_int_option(socket, ZMQ_SNDHWM, 16);
    } else {
        set_int_option(socket, ZMQ_RCVTIMEO, type == ZMQ_SUB ? -1 : 1000);
    }
    set_int_option(socket, ZMQ_LINGER, 1000);
    if (curve) {
        set_raw_curve(socket, binds);
    }
    const int attached = binds ? zmq_bind(socket, url.c_str()) : zmq_connect(socket, url.c_str());
    if (attached != 0) {
        std::fprintf(stderr, "%s %s: %s\n", binds ? "bind" : "connect", url.c_str(), zmq_strerror(zmq_errno()));
        std::exit(1);
    }
    return socket;
}

}  // namespace vorzmq_bench

#endif  // VORZMQ_BENCH_COMMON_H

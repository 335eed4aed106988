// SPDX-License-Identifier: MIT
// What a large allow folder costs the authenticator: the start, a CURVE
// request with nothing changing, with one file rewritten every 250 ms, and
// how soon an added key is admitted and a rewritten one refused.
//
//   vorzmq_bench_allow_folder [files]     (default 100000)
//
// prints one line per figure.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <log4cxx/logger.h>
#include <zmq.h>

#include "vorzmq.h"

log4cxx::LoggerPtr logger = log4cxx::Logger::getLogger("vorzmq_bench_allow_folder");

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct key_pair {
    std::string public_key;
    std::string secret_key;
};

key_pair make_keys()
{
    char public_key[41];
    char secret_key[41];
    zmq_curve_keypair(public_key, secret_key);
    return {public_key, secret_key};
}

void write_certificate(const fs::path& path, const std::string& public_key)
{
    std::ofstream(path) << "curve\n    public-key = \"" << public_key << "\"\n";
}

double seconds_since(steady_clock::time_point start)
{
    return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// One acknowledged request from a fresh CURVE client: its outcome.
vorzmq_result request_once(vorzmq_context& context, const std::string& url, const std::string& server_key,
                           const std::string& secret_key)
{
    vorzmq_request_socket request(context, url);
    if (!request.set_curve_client(server_key, secret_key)) {
        return vorzmq_result::no_socket;
    }
    request.set_receive_timeout_ms(5000);
    request.send("hello", true);
    return vorzmq_last_result();
}

}  // namespace

int main(int argc, char** argv)
{
    logger->setLevel(log4cxx::Level::getOff());
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    char name[] = "/tmp/vorzmq-allow-XXXXXX";
    if (mkdtemp(name) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path folder(name);
    std::mt19937 random(7);
    for (int i = 0; i < files; ++i) {
        unsigned char bytes[32];
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(random());
        }
        char text[41];
        zmq_z85_encode(text, bytes, sizeof bytes);
        write_certificate(folder / ("peer" + std::to_string(i) + ".key"), text);
    }
    const key_pair server = make_keys();
    const key_pair client = make_keys();
    write_certificate(folder / "client.key", client.public_key);

    vorzmq_context context;
    vorzmq_authenticator authenticator(context);
    auto start = steady_clock::now();
    if (!authenticator.start(folder.string())) {
        std::fprintf(stderr, "the authenticator did not start\n");
        return 1;
    }
    std::printf("files %d: start %.3f s\n", files, seconds_since(start));

    vorzmq_reply_socket reply(context, "tcp://127.0.0.1:*");
    if (!reply.set_curve_server(server.secret_key, vorzmq_curve_clients::allowed)) {
        return 1;
    }
    reply.init_if_necessary();
    const std::string url = reply.last_endpoint();
    std::atomic<bool> stopping{false};
    std::thread serving([&] {
        reply.set_receive_timeout_ms(50);
        while (!stopping) {
            std::string request;
            (void)reply.receive(request, true);
        }
    });

    const auto rate = [&](bool touching) {
        std::atomic<bool> done{false};
        std::thread toucher([&] {
            const key_pair other = make_keys();
            while (touching && !done) {
                write_certificate(folder / "peer0.key", other.public_key);
                std::this_thread::sleep_for(milliseconds(250));
            }
        });
        int admitted = 0;
        const auto begun = steady_clock::now();
        while (seconds_since(begun) < 3.0) {
            admitted += request_once(context, url, server.public_key, client.secret_key) == vorzmq_result::ok;
        }
        done = true;
        toucher.join();
        return admitted / seconds_since(begun);
    };
    std::printf("requests a second, a new connection each: %.0f unchanged, %.0f with a file rewritten every 250 ms\n",
                rate(false), rate(true));

    const key_pair added = make_keys();
    start = steady_clock::now();
    write_certificate(folder / "added.key", added.public_key);
    const vorzmq_result first = request_once(context, url, server.public_key, added.secret_key);
    std::printf("a key added: the first request after the write %s, %.3f s after it\n",
                first == vorzmq_result::ok ? "admitted" : "not admitted", seconds_since(start));

    // Rewritten in place with a key of the same length, its time stamps put back.
    struct stat before {};
    stat((folder / "client.key").c_str(), &before);
    write_certificate(folder / "client.key", make_keys().public_key);
    const timespec times[] = {before.st_atim, before.st_mtim};
    utimensat(AT_FDCWD, (folder / "client.key").c_str(), times, 0);
    const vorzmq_result revoked = request_once(context, url, server.public_key, client.secret_key);
    std::printf("a key rewritten, same size and time: the next request %s\n",
                revoked == vorzmq_result::refused ? "refused" : "NOT refused");

    stopping = true;
    serving.join();
    authenticator.stop();
    fs::remove_all(folder);
    return first == vorzmq_result::ok && revoked == vorzmq_result::refused ? 0 : 1;
}

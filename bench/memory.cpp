// SPDX-License-Identifier: MIT
// Resident memory and open descriptors of the library against raw libzmq.
// One scenario per process, so that one cannot leave heap behind for another:
//
//   vorzmq_memory idle|connected|exchanges lib|raw
//
// prints one JSON object on one line.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <log4cxx/logger.h>
#include <zmq.h>

#include "bench_common.h"
#include "vorzmq.h"

// ERROR: the constructors' DEBUG records are disabled, as in a production
// host, so that a thousand of them cost nothing; there is no appender, as the
// figures go to stdout.
log4cxx::LoggerPtr logger;

namespace {

using namespace vorzmq_bench;

constexpr int socket_count = 1000;
constexpr int exchange_count = 100000;
constexpr size_t exchange_size = 1024;

long resident_kib()
{
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = -1;
        }
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int open_descriptors()
{
    int count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(folder)) {
            if (entry->d_name[0] != '.') {
                ++count;
            }
        }
        closedir(folder);
    }
    return count - 1;  // the descriptor of the listing itself
}

struct snapshot {
    long resident_kib;
    int descriptors;
};

snapshot take_snapshot()
{
    return {resident_kib(), open_descriptors()};
}

void print(const char* scenario, const char* implementation, snapshot before, snapshot after)
{
    std::printf("{\"scenario\": \"%s\", \"implementation\": \"%s\", \"rss_before_kib\": %ld, "
                "\"rss_after_kib\": %ld, \"fds_before\": %d, \"fds_after\": %d}\n",
                scenario, implementation, before.resident_kib, after.resident_kib, before.descriptors,
                after.descriptors);
}

void settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

// A reply socket in a child process, so that the server side of a thousand
// connections stays out of the figures.
pid_t start_server_process(const std::string& url)
{
    const pid_t child = fork();
    if (child == 0) {
        void* context = zmq_ctx_new();
        raw_socket(context, ZMQ_REP, url, true);
        pause();
        _exit(0);
    }
    const std::string path = url.substr(6);
    struct stat status;
    while (stat(path.c_str(), &status) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return child;
}

void stop_server_process(pid_t child)
{
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
}

void raise_socket_limit(void* context)
{
    zmq_ctx_set(context, ZMQ_MAX_SOCKETS, 4 * socket_count);
}

std::vector<std::string> queue_urls()
{
    std::vector<std::string> urls;
    for (int i = 0; i < socket_count; ++i) {
        urls.push_back(ipc_url("queue-" + std::to_string(i)));
    }
    return urls;
}

// Library: objects constructed and never used (no libzmq socket yet).
// Raw: as many libzmq sockets, created and not connected.
int idle(bool library)
{
    const std::vector<std::string> urls = queue_urls();
    if (library) {
        vorzmq_context context;
        raise_socket_limit(context.context);
        const snapshot before = take_snapshot();
        std::vector<std::unique_ptr<vorzmq_request_socket>> sockets;
        for (const std::string& url : urls) {
            sockets.push_back(std::make_unique<vorzmq_request_socket>(context, url));
        }
        print("idle_request_sockets_1000", "lib", before, take_snapshot());
        return 0;
    }
    void* context = zmq_ctx_new();
    raise_socket_limit(context);
    const snapshot before = take_snapshot();
    std::vector<void*> sockets;
    for (int i = 0; i < socket_count; ++i) {
        sockets.push_back(zmq_socket(context, ZMQ_REQ));
    }
    print("idle_request_sockets_1000", "raw", before, take_snapshot());
    for (void* socket : sockets) {
        zmq_close(socket);
    }
    zmq_ctx_destroy(context);
    return 0;
}

// Request sockets connected to one reply socket in another process.
int connected(bool library)
{
    const std::string url = ipc_url("server");
    const pid_t server = start_server_process(url);
    if (library) {
        vorzmq_context context;
        raise_socket_limit(context.context);
        const snapshot before = take_snapshot();
        {
            std::vector<std::unique_ptr<vorzmq_request_socket>> sockets;
            for (int i = 0; i < socket_count; ++i) {
                sockets.push_back(std::make_unique<vorzmq_request_socket>(context, url));
                sockets.back()->init_if_necessary();
            }
            settle();
            print("connected_request_sockets_1000", "lib", before, take_snapshot());
        }
        stop_server_process(server);
        return 0;
    }
    void* context = zmq_ctx_new();
    raise_socket_limit(context);
    const snapshot before = take_snapshot();
    std::vector<void*> sockets;
    for (int i = 0; i < socket_count; ++i) {
        sockets.push_back(raw_socket(context, ZMQ_REQ, url, false));
    }
    settle();
    print("connected_request_sockets_1000", "raw", before, take_snapshot());
    for (void* socket : sockets) {
        zmq_close(socket);
    }
    zmq_ctx_destroy(context);
    stop_server_process(server);
    return 0;
}

bool expect(bool passed, const char* what)
{
    if (!passed) {
        std::fprintf(stderr, "check failed: %s\n", what);
    }
    return passed;
}

// Acknowledged 1 KiB exchanges over ipc://, the reply socket on a thread.
int exchanges(bool library)
{
    const std::string url = ipc_url("exchanges");
    const std::string message = payload(exchange_size);
    std::atomic<int> failures{0};
    if (library) {
        vorzmq_context context;
        // Outlives the last snapshot, as the raw reply socket does.
        vorzmq_reply_socket reply(context, url);
        std::thread server([&] {
            std::stringstream stream;
            for (int received = 0; received < exchange_count + 1000;) {
                if (reply.receive(stream, true)) {
                    failures += !expect(stream.tellp() == static_cast<std::streamoff>(exchange_size), "lib server");
                    stream.seekp(0);
                    ++received;
                }
            }
        });
        vorzmq_request_socket request(context, url);
        for (int i = 0; i < 1000; ++i) {
            request.send(message, true);
        }
        const snapshot before = take_snapshot();
        for (int i = 0; i < exchange_count; ++i) {
            request.send(message, true);
        }
        server.join();
        print("acknowledged_exchanges_100000", "lib", before, take_snapshot());
        return failures == 0 ? 0 : 1;
    }
    void* context = zmq_ctx_new();
    void* reply = raw_socket(context, ZMQ_REP, url, true);
    std::thread server([&] {
        std::stringstream stream;
        for (int received = 0; received < exchange_count + 1000;) {
            zmq_msg_t request;
            zmq_msg_init(&request);
            if (zmq_msg_recv(&request, reply, 0) != -1) {
                zmq_send(reply, "ok", 3, 0);
                const char* data = static_cast<const char*>(zmq_msg_data(&request));
                const size_t size = zmq_msg_size(&request);
                const void* zero = size == 0 ? nullptr : std::memchr(data, 0, size);
                stream.write(data, zero ? static_cast<const char*>(zero) - data : static_cast<std::streamsize>(size));
                failures += !expect(stream.tellp() == static_cast<std::streamoff>(exchange_size), "raw server");
                stream.seekp(0);
                ++received;
            }
            zmq_msg_close(&request);
        }
    });
    void* request = raw_socket(context, ZMQ_REQ, url, false);
    auto exchange = [&] {
        zmq_send(request, message.data(), message.size(), 0);
        zmq_msg_t ok;
        zmq_msg_init(&ok);
        failures += !expect(zmq_msg_recv(&ok, request, 0) == 3 && std::memcmp(zmq_msg_data(&ok), "ok", 3) == 0,
                            "raw ok reply");
        zmq_msg_close(&ok);
    };
    for (int i = 0; i < 1000; ++i) {
        exchange();
    }
    const snapshot before = take_snapshot();
    for (int i = 0; i < exchange_count; ++i) {
        exchange();
    }
    server.join();
    print("acknowledged_exchanges_100000", "raw", before, take_snapshot());
    zmq_close(request);
    zmq_close(reply);
    zmq_ctx_destroy(context);
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    logger = log4cxx::Logger::getLogger("vorzmq-memory");
    logger->setLevel(log4cxx::Level::getError());
    if (argc != 3 || (std::strcmp(argv[2], "lib") != 0 && std::strcmp(argv[2], "raw") != 0)) {
        std::fprintf(stderr, "usage: %s idle|connected|exchanges lib|raw\n", argv[0]);
        return 2;
    }
    const bool library = std::strcmp(argv[2], "lib") == 0;
    const std::string scenario = argv[1];
    if (scenario == "idle") {
        return idle(library);
    }
    if (scenario == "connected") {
        return connected(library);
    }
    if (scenario == "exchanges") {
        return exchanges(library);
    }
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
}

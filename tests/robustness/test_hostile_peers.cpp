// SPDX-License-Identifier: MIT
// Hostile and careless peers against real servers of the library: frames
// above the inbound bound, bytes that never spoke ZeroMQ, half handshakes,
// connection floods, a second server on a live endpoint and the relay fed
// every malformed request. A server counts as healthy only if it still
// acknowledges a normal request afterwards.
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <zmq.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "request_reply_helpers.h"
#include "robustness/peers.h"
#include "vorzmq.h"

using namespace vorzmq_test;
using namespace std::chrono_literals;
using namespace std::string_literals;
using text_list = std::vector<std::string>;

namespace {

constexpr size_t inbound_bound = 4194304;  // the longest text and its zero byte

text_list errors()
{
    return messages_at(error_level);
}

// A library reply socket served on its own thread, acknowledging every
// request and keeping what arrived, health probes ("ping") aside: a probe
// that timed out may still arrive later, from its own connection.
class library_server {
public:
    library_server(vorzmq_context& context, const std::string& url) : socket(context, url)
    {
        socket.set_receive_timeout_ms(100);
        thread = std::thread([this] {
            while (!stopping) {
                std::stringstream request;
                if (socket.receive(request, true)) {
                    // Large requests by their size only: the copies would
                    // blur the server's memory figures.
                    const std::string text = request.str();
                    std::lock_guard<std::mutex> lock(mutex);
                    if (text != "ping") {
                        seen.push_back(text.size() < 64 ? text : std::to_string(text.size()) + " bytes");
                    }
                }
            }
        });
    }
    ~library_server()
    {
        stopping = true;
        thread.join();
    }
    std::vector<std::string> requests() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }

private:
    vorzmq_reply_socket socket;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::vector<std::string> seen;
    std::thread thread;
};

// Whether a fresh requester gets the OK reply to `text` within the timeout,
// long enough for a loaded machine.
bool acknowledges(const std::string& url, const std::string& text = "ping", int timeout_ms = 10000)
{
    raw_socket requester(ZMQ_REQ);
    requester.set_int(ZMQ_LINGER, 0);
    requester.connect(url);
    requester.send_frames({text});
    const auto reply = requester.receive_frames(timeout_ms);
    return reply && *reply == std::vector<std::string>{ok_reply()};
}

bool healthy(const std::string& url)
{
    // The first request may wait out the server's bind.
    return wait_until([&] { return acknowledges(url); }, 10s);
}

// A ZMTP 3.0 greeting with the NULL mechanism and the READY command of a
// socket of `type` (three letters).
std::string zmtp3_handshake(const std::string& type = "REQ")
{
    std::string greeting("\xff\0\0\0\0\0\0\0\x01\x7f\x03\x00", 12);
    greeting += std::string("NULL", 4) + std::string(16, '\0');
    greeting += std::string(32, '\0');  // as-server, filler
    const std::string ready = std::string("\x05READY\x0bSocket-Type\0\0\0\x03", 22) + type;
    return greeting + '\x04' + static_cast<char>(ready.size()) + ready;
}

// A plain stream socket connected to a tcp://127.0.0.1:port or ipc:// URL.
class stream_peer {
public:
    explicit stream_peer(const std::string& url)
    {
        if (url.rfind("ipc://", 0) == 0) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, url.c_str() + 6, sizeof address.sun_path - 1);
            descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            connected = connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        } else {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
            inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
            descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            connected = connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        }
    }
    ~stream_peer() { close(descriptor); }
    stream_peer(const stream_peer&) = delete;
    stream_peer& operator=(const stream_peer&) = delete;

    bool ok() const { return connected; }
    // The handshake of a REQ socket, up to the server's READY command, and
    // the empty delimiter frame that starts a request.
    bool start_request() { return handshake("REQ") && write(std::string("\x01\x00", 2)); }
    // The handshake of a socket of `type`, up to the server's READY command.
    bool handshake(const std::string& type)
    {
        if (!write(zmtp3_handshake(type))) {
            return false;
        }
        std::string greeting_and_header = read(64 + 2);
        return greeting_and_header.size() == 66 &&
               read(static_cast<unsigned char>(greeting_and_header.back())).size() ==
                   static_cast<unsigned char>(greeting_and_header.back());
    }
    // Writes all of `bytes`, `times` times over; false once the server has
    // dropped the connection.
    bool write(const std::string& bytes, size_t times = 1)
    {
        for (; times > 0; --times) {
            for (size_t done = 0; done < bytes.size();) {
                const ssize_t sent = send(descriptor, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                if (sent <= 0) {
                    return false;
                }
                done += static_cast<size_t>(sent);
            }
        }
        return true;
    }

    // Bytes the server sent that this peer has not read.
    int waiting_bytes() const
    {
        int bytes = 0;
        return ioctl(descriptor, FIONREAD, &bytes) == 0 ? bytes : 0;
    }

    // Whether the server ends the connection within `limit`, reading and
    // dropping what it sends before that.
    bool dropped_within(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd item{descriptor, POLLIN, 0};
            if (left.count() <= 0 || poll(&item, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char bytes[256];
            if (recv(descriptor, bytes, sizeof bytes, 0) <= 0) {
                return true;
            }
        }
    }

private:
    std::string read(size_t size)
    {
        std::string bytes(size, '\0');
        size_t done = 0;
        while (done < size) {
            const ssize_t got = recv(descriptor, bytes.data() + done, size - done, 0);
            if (got <= 0) {
                break;
            }
            done += static_cast<size_t>(got);
        }
        bytes.resize(done);
        return bytes;
    }

    int descriptor = -1;
    bool connected = false;
};

// The header of a last frame of `size` bytes, in the long form.
std::string long_frame_header(uint64_t size)
{
    std::string header(1, '\x02');
    for (int shift = 56; shift >= 0; shift -= 8) {
        header += static_cast<char>((size >> shift) & 0xff);
    }
    return header;
}

// Peak resident memory since the last reset_peak_memory().
size_t peak_resident_kib()
{
    return status_kib("VmHWM");
}

void reset_peak_memory()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

class hostile_peer_test : public library_test {};

// Frames above the bound end their connection before the server allocates
// for them: peak memory grows by less than a quarter of the bound. A frame
// within the bound costs at most 5 x the bound: libzmq's frame, the host's
// stream with its room to grow, and this host's copy. The largest text still
// arrives whole; a frame as long without a zero byte is refused, not cut.
TEST_F(hostile_peer_test, oversize_frames_neither_stop_the_server_nor_grow_its_memory)
{
    constexpr size_t chunk_size = 1 << 20;
    struct oversize_case {
        const char* name;
        uint64_t announced;  // the frame size in its header
        size_t chunks;       // 1 MiB chunks of it actually sent
        bool arrives;        // whether the request reaches the host
    } const cases[] = {
        {"largest text with its zero byte", inbound_bound, 4, true},
        {"as long, no zero byte", inbound_bound, 4, false},
        // The bound allows for CURVE's 33 bytes a message.
        {"over the bound with CURVE's allowance", inbound_bound + 34, 5, false},
        {"64 MiB", 64u << 20, 64, false},
        {"header of 1 TiB", uint64_t{1} << 40, 16, false},
    };
    const std::string chunk(chunk_size, 'x');
    const std::string last_chunk = chunk.substr(1) + '\0';
    vorzmq_context context;
    for (const std::string& url : {free_tcp_url(), queue_url("oversize")}) {
        library_server server(context, url);
        ASSERT_TRUE(healthy(url)) << url;
        for (const auto& c : cases) {
            SCOPED_TRACE(url + ": " + c.name);
            const size_t seen_before = server.requests().size();
            reset_peak_memory();
            const size_t before = peak_resident_kib();
            {
                stream_peer peer(url);
                ASSERT_TRUE(peer.ok());
                const bool whole = peer.start_request() && peer.write(long_frame_header(c.announced)) &&
                                   peer.write(chunk, c.chunks - 1) && peer.write(c.arrives ? last_chunk : chunk);
                if (c.arrives) {
                    EXPECT_TRUE(whole);
                    ASSERT_TRUE(wait_until([&] { return server.requests().size() == seen_before + 1; }));
                    EXPECT_EQ(server.requests().back(), std::to_string(inbound_bound - 1) + " bytes");
                }
            }
            EXPECT_TRUE(acknowledges(url, "after")) << "server stopped serving";
            // The acknowledgement goes out before the server keeps the text.
            EXPECT_TRUE(wait_until([&] { return server.requests().size() == seen_before + (c.arrives ? 2 : 1); }));
            EXPECT_EQ(server.requests().back(), "after");
            const size_t growth = peak_resident_kib() - before;
            std::printf("[ peak RSS ] %s, %s: +%zu KiB\n", url.c_str(), c.name, growth);
            EXPECT_LE(growth, (c.announced <= inbound_bound ? 5 * inbound_bound : inbound_bound / 4) / 1024);
        }
    }
}

// Connecting sockets stay unbounded (an oversized frame would leave them
// disconnected for good): they take a large message and go on.
TEST_F(hostile_peer_test, subscriber_and_requester_go_on_after_an_oversized_message)
{
    const std::string big(2 * inbound_bound, 'b');
    vorzmq_context context;
    {
        const std::string url = queue_url("big-pub");
        raw_socket publisher(ZMQ_PUB);
        publisher.bind(url);
        vorzmq_sub_socket subscriber(context, url);
        subscriber.set_receive_timeout_ms(50);
        subscriber.add_topic("t");
        std::stringstream received;
        ASSERT_TRUE(wait_until([&] {
            publisher.send_frames({"t$", big});
            return subscriber.receive(received);
        }));
        // Big messages sent before the first arrived may still be queued:
        // each receive is judged on its own until small ones come through.
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(wait_until([&] {
                publisher.send_frames({"t$", std::string("after", 6)});
                std::stringstream next;
                return subscriber.receive(next) && next.str() == "after";
            }));
        }
    }
    {
        const std::string url = queue_url("big-rep");
        answering_server server(url, {big});
        vorzmq_request_socket requester(context, url);
        std::vector<char> buffer(16);
        requester.send("first", false);
        EXPECT_EQ(requester.receive(buffer.data(), buffer.size()), buffer.size());
        requester.send("second", false);
        EXPECT_EQ(requester.receive(buffer.data(), buffer.size()), buffer.size());
        EXPECT_TRUE(server.has_seen("second"));
    }
    EXPECT_TRUE(errors().empty()) << testing::PrintToString(errors());
}

// Subscribes with a megabyte and unsubscribes again: once libzmq's walk of
// its subscription tree overflowed the stack of the thread that publishes.
// Whether the publisher ended the connection (as its bound on subscriptions
// has it do, or as a crash would).
bool huge_subscription_dropped(const std::string& url)
{
    // Raw bytes: a libzmq subscriber of this process would walk the same
    // tree, and fall over itself.
    const std::string filter(1 << 20, 's');
    stream_peer attacker(url);
    if (!attacker.handshake("SUB")) {
        return false;
    }
    attacker.write(long_frame_header(filter.size() + 1) + '\x01' + filter) &&
        attacker.write(long_frame_header(filter.size() + 1) + '\x00' + filter);
    return attacker.dropped_within(20s);
}

// Whether a subscriber of "t" hears something `feed` makes the publisher
// at `url` send, within 30 s.
bool hears(const std::string& url, const std::function<void()>& feed)
{
    raw_socket listener(ZMQ_SUB);
    listener.subscribe("t");
    listener.connect(url);
    return wait_until([&] { return feed(), listener.receive_frames(50).has_value(); }, 30s);
}

TEST_F(hostile_peer_test, publisher_outlives_a_huge_subscription)
{
    vorzmq_context context;
    const std::string url = queue_url("huge-sub");
    vorzmq_pub_socket publisher(context, url);
    const auto publish = [&] { publisher.send("t", "after"); };
    ASSERT_TRUE(hears(url, publish));
    EXPECT_TRUE(huge_subscription_dropped(url));
    EXPECT_TRUE(hears(url, publish));
}

// Bytes that are no ZMTP 3 greeting never reach the host, and connections
// left half-way through a handshake keep no real request waiting.
TEST_F(hostile_peer_test, garbage_and_half_handshakes_deliver_nothing)
{
    const std::string greeting = zmtp3_handshake().substr(0, 64);
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        // Empty identity, delimiter, "hello": a request to a ZMTP 1.0 REP.
        {"ZMTP 1.0 frames", "\x01\x00\x01\x01\x06\x00hello"s},
        {"random bytes", "\x13\x37GET / HTTP/1.0\r\n\r\n\x00\x01\x02\xfe"s},
        {"ZMTP 2.0 request", "\xff\0\0\0\0\0\0\0\x01\x7f\x01\x03\x00\x00\x01\x00\x00\x05hello"s},
        {"signature only", greeting.substr(0, 10)},
        {"greeting cut short", greeting.substr(0, 40)},
        {"greeting, no READY", greeting},
    };
    vorzmq_context context;
    const std::string url = free_tcp_url();
    library_server server(context, url);
    ASSERT_TRUE(healthy(url));
    std::vector<std::unique_ptr<stream_peer>> held;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 30; ++i) {
            held.push_back(std::make_unique<stream_peer>(url));
            ASSERT_TRUE(held.back()->ok());
            held.back()->write(c.bytes);
        }
        EXPECT_TRUE(acknowledges(url, c.name)) << "the held connections keep the server from answering";
    }
    text_list expected;
    for (const auto& c : cases) {
        expected.push_back(c.name);
    }
    const auto served = server.requests();
    ASSERT_GE(served.size(), expected.size());
    EXPECT_EQ(text_list(served.end() - static_cast<long>(expected.size()), served.end()), expected);
}

// A connection that never finishes its handshake is dropped after the
// handshake limit of 5 s, not libzmq's default 30 s (20 s leaves room for a
// loaded machine).
TEST_F(hostile_peer_test, unfinished_handshakes_are_dropped_within_seconds)
{
    vorzmq_context context;
    const std::string url = free_tcp_url();
    library_server server(context, url);
    ASSERT_TRUE(healthy(url));
    const std::string greeting = zmtp3_handshake().substr(0, 64);
    const std::string sent_first[] = {"", greeting.substr(0, 10), greeting};
    std::vector<std::unique_ptr<stream_peer>> peers;
    for (const auto& bytes : sent_first) {
        peers.push_back(std::make_unique<stream_peer>(url));
        ASSERT_TRUE(peers.back()->ok() && peers.back()->write(bytes));
    }
    for (size_t i = 0; i < peers.size(); ++i) {
        EXPECT_TRUE(peers[i]->dropped_within(std::chrono::seconds(20))) << "peer " << i << " still connected";
    }
}

TEST_F(hostile_peer_test, thousand_dropped_connections_leave_no_descriptor_behind)
{
    vorzmq_context context;
    const std::string url = free_tcp_url();
    library_server server(context, url);
    ASSERT_TRUE(healthy(url));
    const size_t before = open_descriptors();
    for (int i = 0; i < 1000; ++i) {
        stream_peer peer(url);
        ASSERT_TRUE(peer.ok());
        if (i % 2 == 0) {
            peer.write(zmtp3_handshake().substr(0, 64));
        }
    }
    EXPECT_TRUE(wait_until([&] { return open_descriptors() <= before; })) << open_descriptors() << " > " << before;
    std::printf("[ descriptors ] before %zu, after %zu\n", before, open_descriptors());
    EXPECT_TRUE(acknowledges(url));
}

// A second binding socket on a live ipc endpoint fails as on tcp, and the
// first keeps its peers. A file without a listener is still taken over.
TEST_F(hostile_peer_test, live_ipc_endpoint_is_not_taken_over)
{
    vorzmq_context context;
    const std::string url = queue_url("double");
    library_server first(context, url);
    ASSERT_TRUE(healthy(url));

    const struct {
        const char* name;
        std::function<void()> bind;
        std::string failure;
    } seconds[] = {
        {"reply", [&] { vorzmq_reply_socket(context, url).init_if_necessary(); }, "Failed to Bind to ZMQ URL: "},
        {"publish", [&] { vorzmq_pub_socket(context, url).init_if_necessary(); }, "Failed to Bind ZMQ URL: "},
    };
    for (const auto& second : seconds) {
        SCOPED_TRACE(second.name);
        captured_log().clear();
        second.bind();
        EXPECT_EQ(errors(), text_list{second.failure + url + " -- " + zmq_text(EADDRINUSE) +
                                      " -- Closing Socket"});
        EXPECT_TRUE(acknowledges(url, second.name));
    }
    const auto served = first.requests();
    ASSERT_GE(served.size(), 2u);
    EXPECT_EQ(text_list(served.end() - 2, served.end()), (text_list{"reply", "publish"}));

    // A crashed server's file: bound, then closed without removing it.
    const std::string stale = queue_url("stale");
    const int crashed = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, stale.c_str() + 6, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(crashed, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(crashed);
    captured_log().clear();
    library_server successor(context, stale);
    EXPECT_TRUE(healthy(stale));
    EXPECT_TRUE(problems().empty()) << testing::PrintToString(problems());
}

// A path that is not a socket, and another user's live endpoint (which this
// process may not even connect to), are never replaced by a bind. A reader
// of the folder cannot hold up a bind; a process of the same user that
// holds the bind lock and never lets go costs a bind a bounded wait.
TEST_F(hostile_peer_test, files_other_users_and_stuck_lock_holders_keep_their_paths)
{
    vorzmq_context context;
    const std::string file_url = queue_url("notes.txt");
    const std::string file = file_url.substr(std::strlen("ipc://"));
    std::ofstream(file) << "notes";
    vorzmq_pub_socket(context, file_url).init_if_necessary();
    EXPECT_EQ(errors(), text_list{"Failed to Bind ZMQ URL: " + file_url + " -- " + zmq_text(EADDRINUSE) +
                                  " -- Closing Socket"});
    std::ifstream kept(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "notes");

    const std::string directory = file.substr(0, file.rfind('/'));
    const int reader = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(reader, LOCK_EX), 0);
    vorzmq_pub_socket(context, queue_url("unhindered")).init_if_necessary();
    EXPECT_EQ(vorzmq_last_result(), vorzmq_result::ok);
    close(reader);

    const std::string locked_url = queue_url("locked");
    const int holder = open((directory + "/.vorzmq-bind.lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    vorzmq_pub_socket waiting(context, locked_url);
    waiting.init_if_necessary();
    EXPECT_EQ(vorzmq_last_error(), EWOULDBLOCK);
    close(holder);
    waiting.init_if_necessary();
    EXPECT_EQ(vorzmq_last_result(), vorzmq_result::ok);

    if (geteuid() != 0) {
        GTEST_SKIP() << "binding as another user needs root";
    }
    // Served by root in a directory anyone may write; nobody (65534) may not
    // connect to the 0771 socket file and must not take the path either.
    char shared[] = "/tmp/vorzmq-shared-XXXXXX";
    ASSERT_NE(mkdtemp(shared), nullptr);
    ASSERT_EQ(chmod(shared, 0777), 0);
    const std::string url = "ipc://" + std::string(shared) + "/status";
    {
        library_server owner(context, url);
        ASSERT_TRUE(healthy(url));
        const pid_t intruder = fork();
        if (intruder == 0) {
            logger->setLevel(log4cxx::Level::getOff());
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(2);
            }
            if (open((std::string(shared) + "/.vorzmq-bind.lock").c_str(), O_RDONLY) != -1) {
                _exit(3);  // the owner's bind lock is theirs to hold
            }
            vorzmq_context theirs;
            vorzmq_pub_socket(theirs, url).init_if_necessary();
            _exit(vorzmq_last_error() == EADDRINUSE ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(intruder, &status, 0), intruder);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        EXPECT_TRUE(acknowledges(url, "still the owner's"));
    }
    std::filesystem::remove_all(shared);
}

// A reset re-binds at once: the socket's own closed listener, which libzmq
// closes asynchronously, does not count as another process.
TEST_F(hostile_peer_test, reset_rebinds_without_a_bind_failure)
{
    vorzmq_context context;
    for (const std::string& url : {free_tcp_url(), queue_url("reset")}) {
        SCOPED_TRACE(url);
        vorzmq_reply_socket server(context, url);
        std::stringstream request;
        server.receive(request, true);  // binds; nothing arrives
        captured_log().clear();
        // The new socket waits long enough for a client on a loaded machine.
        server.set_receive_timeout_ms(20000);
        arm_fault(zmq_call::msg_recv, EFAULT);
        EXPECT_FALSE(server.receive(request, true));
        // The failed socket closes only when the next receive starts: a
        // client that reached it first lost its request with it, and asks
        // again, as a requester's time-out and reset would.
        std::thread client([&] { EXPECT_TRUE(wait_until([&] { return acknowledges(url, "next", 2000); }, 20s)); });
        const bool served = server.receive(request, true);
        client.join();
        EXPECT_TRUE(served);
        EXPECT_EQ(errors(), text_list{"Failed to Receive Message -- ZMQ Error: " + zmq_text(EFAULT) +
                                      " -- Closing Socket on Unexpected Error"});
    }
}

#ifdef VORZMQ_TOOL_PATH
// The tool, started with `arguments` as a service of the test (its output
// dropped): killed and reaped when the test ends, early or not, and with
// the test process when that is killed at its time-out. `prepare` runs in
// the child before the tool starts (and may give it another output).
class tool_process {
public:
    explicit tool_process(std::vector<std::string> arguments, const std::function<void()>& prepare = [] {})
        : pid(fork())
    {
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            freopen("/dev/null", "w", stdout);
            prepare();
            std::vector<char*> argv{const_cast<char*>("vorzmq")};
            for (std::string& argument : arguments) {
                argv.push_back(argument.data());
            }
            argv.push_back(nullptr);
            execv(VORZMQ_TOOL_PATH, argv.data());
            _exit(127);
        }
    }
    ~tool_process()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    tool_process(const tool_process&) = delete;
    tool_process& operator=(const tool_process&) = delete;

    bool running() const { return waitpid(pid, nullptr, WNOHANG) == 0; }
    // Waits for the tool to end; its wait status.
    int wait()
    {
        int status = -1;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

    pid_t pid;
};

// CPU seconds a process has used so far.
double cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {  // utime, stime
            ticks += std::stoul(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

size_t descriptors_of(pid_t pid)
{
    size_t count = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored);
         it != std::filesystem::directory_iterator(); it.increment(ignored)) {
        ++count;
    }
    return count;
}

// A kB field of a process's /proc status, such as "VmRSS"; 0 if absent.
size_t status_kib_of(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stoul(line.substr(field.size() + 1));
        }
    }
    return 0;
}

// A subscriber that never reads holds at most the relay's memory budget:
// the mark is the budget divided by the largest request.
TEST_F(hostile_peer_test, relay_memory_stays_within_its_budget_for_a_subscriber_that_never_reads)
{
#ifdef VORZMQ_TOOL_SANITIZED
    GTEST_SKIP() << "the tool is built with a sanitizer, whose own memory hides the relay's";
#endif
    const std::string listen = queue_url("budget-in");
    const std::string publish = queue_url("budget-out");
    const tool_process relay({"relay", "--listen", listen, "--publish", publish, "--memory-budget", "32",
                              "--max-request", "512"});
    raw_socket subscriber(ZMQ_SUB);
    subscriber.set_int(ZMQ_RCVHWM, 1);
    subscriber.set_int(ZMQ_RCVBUF, 4096);
    subscriber.subscribe("");
    subscriber.connect(publish);
    raw_socket requester(ZMQ_REQ);
    requester.connect(listen);
    const auto relayed = [&](const std::string& request) {
        requester.send_frames({request});
        return requester.receive_frames(10000) == text_list{ok_reply()};
    };
    const std::string probe = "{\"topic\":\"probe$\",\"data\":0}";
    ASSERT_TRUE(wait_until([&] { return relayed(probe) && subscriber.receive_frames(100); }, 30s));
    const size_t before_kib = status_kib_of(relay.pid, "VmRSS");

    // 300 MB for a subscriber that reads nothing more.
    const std::string big = "{\"topic\":\"t$\",\"data\":\"" + std::string(500000, 'x') + "\"}";
    for (int i = 0; i < 600; ++i) {
        ASSERT_TRUE(relayed(big)) << "request " << i;
    }
    const size_t loaded_kib = status_kib_of(relay.pid, "VmRSS");
    EXPECT_LT(loaded_kib, before_kib + (32 + 16) * 1024) << "before " << before_kib << " KiB";

    std::printf("[ relay memory ] %zu KiB before, %zu KiB with a subscriber that never reads\n", before_kib,
                loaded_kib);
}

// Under systemd the relay's unit counts as started when the relay says
// READY=1: by then both its endpoints are bound. A stop says STOPPING=1 and
// ends with status 0.
TEST_F(hostile_peer_test, relay_reports_ready_once_bound_and_stops_cleanly)
{
    const std::string listen = queue_url("notify-in");
    const std::string publish = queue_url("notify-out");
    const std::string notify_path = listen.substr(6) + ".notify";
    const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, notify_path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    tool_process relay({"relay", "--listen", listen, "--publish", publish},
                       [&] { setenv("NOTIFY_SOCKET", notify_path.c_str(), 1); });
    const auto next_notice = [&]() -> std::string {
        pollfd item{notify, POLLIN, 0};
        char text[256];
        if (poll(&item, 1, 30000) != 1) {
            return "(nothing within 30 s)";
        }
        const ssize_t size = recv(notify, text, sizeof text, 0);
        return std::string(text, size > 0 ? static_cast<size_t>(size) : 0);
    };
    EXPECT_EQ(next_notice(), "READY=1");
    EXPECT_TRUE(std::filesystem::exists(listen.substr(6)) && std::filesystem::exists(publish.substr(6)));
    EXPECT_TRUE(acknowledges(listen, "{\"topic\":\"t$\",\"data\":1}"));
    // A requester that never reads its reply: what the relay wrote to it is
    // no subscriber's loss and does not hold the stop for the linger.
    stream_peer silent(listen);
    const std::string body = "{\"topic\":\"t$\",\"data\":2}";
    ASSERT_TRUE(silent.start_request() && silent.write(std::string(1, '\0') + static_cast<char>(body.size()) + body));
    EXPECT_TRUE(wait_until([&] { return silent.waiting_bytes() > 0; })) << "no reply";
    kill(relay.pid, SIGTERM);
    EXPECT_EQ(next_notice(), "STOPPING=1");
    const int status = relay.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    close(notify);
}

// `vorzmq serve`, started with the usual soft limit of 1,024 open files,
// takes 5,000 idle connections and still answers; once they are gone its
// descriptors come back and it idles again.
TEST_F(hostile_peer_test, serve_outlives_a_flood_of_idle_connections)
{
    constexpr int flood = 5000;
    struct rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 2 * flood + 1000) {
        GTEST_SKIP() << "needs a hard limit of open files above " << 2 * flood + 1000;
    }
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    const std::string url = free_tcp_url();
    const tool_process serve({"serve", url}, [&] {
        const struct rlimit usual {1024, limit.rlim_max};
        setrlimit(RLIMIT_NOFILE, &usual);
    });
    ASSERT_TRUE(healthy(url));
    const size_t before = descriptors_of(serve.pid);
    {
        std::vector<std::unique_ptr<stream_peer>> idle;
        for (int i = 0; i < flood; ++i) {
            idle.push_back(std::make_unique<stream_peer>(url));
            ASSERT_TRUE(idle.back()->ok()) << "connection " << i;
        }
        EXPECT_TRUE(acknowledges(url, "through the flood"));
    }
    EXPECT_TRUE(wait_until([&] { return descriptors_of(serve.pid) <= before; }, 30s))
        << descriptors_of(serve.pid) << " descriptors, " << before << " before the flood";
    // Idle: less than a tenth of a CPU over a second.
    EXPECT_TRUE(wait_until(
        [&] {
            const double start = cpu_seconds(serve.pid);
            std::this_thread::sleep_for(1s);
            return cpu_seconds(serve.pid) - start < 0.1;
        },
        30s));
    EXPECT_TRUE(acknowledges(url, "after the flood"));
}

// One peer that sends requests without waiting for replies (a DEALER) to a
// server whose output is stalled: a few of them queue, not all.
TEST_F(hostile_peer_test, pipelined_requests_hold_a_few_messages_of_a_stalled_server)
{
#ifdef VORZMQ_TOOL_SANITIZED
    GTEST_SKIP() << "the tool is built with a sanitizer, whose own memory hides the server's";
#endif
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    const std::string url = queue_url("stalled");
    const tool_process serve({"serve", url}, [&] { dup2(output[1], STDOUT_FILENO); });
    ASSERT_TRUE(healthy(url));
    const size_t before_kib = status_kib_of(serve.pid, "VmHWM");
    raw_socket pipeliner(ZMQ_DEALER);
    pipeliner.set_int(ZMQ_SNDHWM, 0);
    pipeliner.connect(url);
    for (int i = 0; i < 60; ++i) {
        pipeliner.send_frames({"", std::string(inbound_bound - 16, 'x')});
    }
    // Until the server's peak has held still for two seconds.
    size_t peak_kib = 0;
    int still = 0;
    wait_until(
        [&] {
            const size_t now = status_kib_of(serve.pid, "VmHWM");
            still = now == peak_kib ? still + 1 : 0;
            peak_kib = now;
            std::this_thread::sleep_for(1s);
            return still >= 2;
        },
        120s);
    EXPECT_LT(peak_kib, before_kib + 64 * 1024) << "before " << before_kib << " KiB";
    close(output[0]);
    close(output[1]);
}

// The relay answers every request, publishes only the well-formed one and
// goes on running.
TEST_F(hostile_peer_test, relay_answers_every_malformed_request_and_goes_on)
{
    const std::string listen = queue_url("relay-in");
    const std::string publish = queue_url("relay-out");
    const tool_process relay({"relay", "--listen", listen, "--publish", publish});
    raw_socket subscriber(ZMQ_SUB);
    subscriber.subscribe("");
    subscriber.connect(publish);
    auto ask = [&](const std::vector<std::string>& frames) {
        raw_socket requester(ZMQ_REQ);
        requester.connect(listen);
        requester.send_frames(frames);
        return requester.receive_frames(10000);
    };
    // Valid requests on a topic of their own until one is heard: the
    // subscriber has joined; late ones are skipped below.
    const std::string probe = "{\"topic\":\"probe$\",\"data\":0}";
    ASSERT_TRUE(wait_until([&] { return ask({probe}) == text_list{ok_reply()} && subscriber.receive_frames(100); }, 30s));
    auto next_published = [&](int timeout_ms) {
        auto message = subscriber.receive_frames(timeout_ms);
        while (message && message->front() == "probe$") {
            message = subscriber.receive_frames(timeout_ms);
        }
        return message;
    };

    const std::string deep = "{\"topic\":\"a$\",\"data\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    const struct {
        std::vector<std::string> frames;
        std::string reply;
    } requests[] = {
        {{"not json"}, "error: not JSON"},
        {{deep}, "error: nested too deeply"},
        {{"{\"topic\":\"\xc3\x28$\",\"data\":1}"}, "error: not UTF-8"},
        {{std::string("\x01\x02\x00{}", 5)}, "error: zero byte"},
        {{std::string("{\"topic\":\"a$\",\"data\":1}\0tail", 28)}, "error: zero byte"},
        {{""}, "error: empty"},
        {{"[1]"}, "error: not a JSON object"},
        {{"{\"data\":1}"}, "error: no string \"topic\""},
        {{"{\"topic\":7,\"data\":1}"}, "error: no string \"topic\""},
        {{"{\"topic\":\"a$\"}"}, "error: no \"data\""},
        {{"[2]", "{\"topic\":\"a$\",\"data\":1}"}, "error: not a JSON object"},
        {{std::string(inbound_bound, 'x')}, "error: too long"},
        {{"{\"topic\":\"a$\",\"data\":{\"ok\":true}}"}, "ok"},
    };
    for (const auto& request : requests) {
        SCOPED_TRACE(request.frames.front().substr(0, 40));
        const auto reply = ask(request.frames);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(*reply, std::vector<std::string>{request.reply + '\0'});
    }
    // In order on the one connection: anything published for a malformed
    // request would come first.
    EXPECT_EQ(next_published(10000), (std::vector<std::string>{"a$", std::string("{\"ok\":true}", 12)}));
    EXPECT_FALSE(next_published(200).has_value()) << "published more than the valid request";
    EXPECT_EQ(waitpid(relay.pid, nullptr, WNOHANG), 0) << "the relay stopped";
}
// publish, relay and forward: a huge subscription neither ends them nor
// stops them publishing.
TEST_F(hostile_peer_test, services_outlive_a_huge_subscription)
{
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const std::string upstream = queue_url("huge-up");
    raw_socket upstream_publisher(ZMQ_PUB);
    upstream_publisher.bind(upstream);
    const auto request = [](const std::string& url) {
        raw_socket requester(ZMQ_REQ);
        requester.connect(url);
        requester.send_frames({"{\"topic\":\"t$\",\"data\":1}"});
        requester.receive_frames(1000);
    };
    const struct {
        const char* name;
        std::vector<std::string> arguments;  // {endpoint} is where subscribers connect
        std::function<void(const std::string& listen)> feed;
        std::string listen;
    } services[] = {
        {"publish", {"publish", "{endpoint}", "t"}, [&](const std::string&) { (void)!write(input[1], "after\n", 6); }, ""},
        {"relay", {"relay", "--listen", "{listen}", "--publish", "{endpoint}"}, request, queue_url("huge-listen")},
        {"forward", {"forward", "--from", upstream, "--to", "{endpoint}"},
         [&](const std::string&) { upstream_publisher.send_frames({"t$", "after"}); }, ""},
    };
    for (const auto& service : services) {
        SCOPED_TRACE(service.name);
        const std::string endpoint = queue_url("huge-out");
        std::vector<std::string> arguments;
        for (const std::string& argument : service.arguments) {
            arguments.push_back(argument == "{endpoint}" ? endpoint : argument == "{listen}" ? service.listen : argument);
        }
        const tool_process process(arguments, [&] { dup2(input[0], STDIN_FILENO); });
        const auto feed = [&] { service.feed(service.listen); };
        ASSERT_TRUE(hears(endpoint, feed));
        EXPECT_TRUE(huge_subscription_dropped(endpoint));
        EXPECT_TRUE(hears(endpoint, feed));
        EXPECT_TRUE(process.running()) << "the process ended";
    }
    close(input[0]);
    close(input[1]);
}
#endif

}  // namespace

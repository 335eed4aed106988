// SPDX-License-Identifier: MIT
#include "drain.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vorzmq_tool {

namespace {

// Which local address the publisher's connections have: its ipc:// path, or
// its tcp:// port.
struct local_end {
    std::string path;
    int port = -1;
};

local_end local_end_of(const std::string& endpoint)
{
    local_end end;
    if (endpoint.rfind("ipc://", 0) == 0) {
        end.path = endpoint.substr(6);
    } else if (endpoint.rfind("tcp://", 0) == 0) {
        end.port = std::atoi(endpoint.substr(endpoint.rfind(':') + 1).c_str());
    }
    return end;
}

bool belongs_to(int fd, const local_end& end)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return false;
    }
    switch (address.ss_family) {
    case AF_UNIX: {
        const auto* unix_address = reinterpret_cast<const sockaddr_un*>(&address);
        const size_t length = size > offsetof(sockaddr_un, sun_path) ? size - offsetof(sockaddr_un, sun_path) : 0;
        return !end.path.empty() && std::string(unix_address->sun_path, strnlen(unix_address->sun_path, length)) ==
                                        end.path;
    }
    case AF_INET:
        return end.port == ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    case AF_INET6:
        return end.port == ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    default:
        return false;
    }
}

// What the kernel holds of this process's writes to the publisher's
// connections that the peers have not read yet (unix sockets) or not yet
// acknowledged (TCP). Nothing without /proc.
std::optional<std::size_t> unread_bytes(const local_end& end)
{
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return std::nullopt;
    }
    std::size_t total = 0;
    while (const dirent* entry = readdir(folder)) {
        char* last = nullptr;
        const long fd = std::strtol(entry->d_name, &last, 10);
        struct stat status {};
        int queued = 0;
        if (last == entry->d_name || *last != '\0' || fd == dirfd(folder) ||
            fstat(static_cast<int>(fd), &status) != 0 || !S_ISSOCK(status.st_mode) ||
            !belongs_to(static_cast<int>(fd), end) || ioctl(static_cast<int>(fd), SIOCOUTQ, &queued) != 0 ||
            queued <= 0) {
            continue;
        }
        total += static_cast<std::size_t>(queued);
    }
    closedir(folder);
    return total;
}

}  // namespace

std::optional<std::size_t> wait_until_peers_have_read(const std::string& endpoint, int limit_ms)
{
    using clock = std::chrono::steady_clock;
    constexpr auto step = std::chrono::milliseconds(10);
    const local_end end = local_end_of(endpoint);
    const auto deadline = clock::now() + std::chrono::milliseconds(limit_ms < 0 ? 0 : limit_ms);
    // libzmq's I/O thread writes the next batch a moment after the peer made
    // room, so one empty look is not enough.
    int empty_looks = 0;
    for (;;) {
        const std::optional<std::size_t> unread = unread_bytes(end);
        if (!unread) {
            // Nothing to look at: the whole linger is the best there is.
            if (limit_ms > 0) {
                std::this_thread::sleep_until(deadline);
            }
            return std::nullopt;
        }
        empty_looks = *unread == 0 ? empty_looks + 1 : 0;
        if (empty_looks == 3) {
            return 0;
        }
        if (limit_ms >= 0 && clock::now() >= deadline) {
            return unread;
        }
        std::this_thread::sleep_for(step);
    }
}

}  // namespace vorzmq_tool

// SPDX-License-Identifier: MIT
#include "drain.h"

#include <dirent.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace vorzmq_tool {

namespace {

// What the kernel holds of this process's writes that the peers have not
// read yet (unix sockets) or not yet acknowledged (TCP), over every socket
// but the standard streams, which may be sockets of a supervisor.
std::size_t unread_bytes()
{
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return 0;
    }
    std::size_t total = 0;
    while (const dirent* entry = readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        struct stat status {};
        int queued = 0;
        if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == dirfd(folder) ||
            fstat(static_cast<int>(fd), &status) != 0 || !S_ISSOCK(status.st_mode) ||
            ioctl(static_cast<int>(fd), SIOCOUTQ, &queued) != 0 || queued <= 0) {
            continue;
        }
        total += static_cast<std::size_t>(queued);
    }
    closedir(folder);
    return total;
}

}  // namespace

std::size_t wait_until_peers_have_read(int limit_ms)
{
    using clock = std::chrono::steady_clock;
    constexpr auto step = std::chrono::milliseconds(10);
    const auto deadline = clock::now() + std::chrono::milliseconds(limit_ms < 0 ? 0 : limit_ms);
    // libzmq's I/O thread writes the next batch a moment after the peer made
    // room, so one empty look is not enough.
    int empty_looks = 0;
    for (;;) {
        const std::size_t unread = unread_bytes();
        empty_looks = unread == 0 ? empty_looks + 1 : 0;
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

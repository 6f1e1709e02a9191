#include "platform/posix/fd_io.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace qv::platform {

void SignalEventFd(int fd) {
    uint64_t one = 1;
    ssize_t ignored = write(fd, &one, sizeof one);
    (void)ignored;
}

void ResetEventFd(int fd) {
    uint64_t value = 0;
    ssize_t ignored = read(fd, &value, sizeof value);
    (void)ignored;
}

bool WriteCancellable(int fd, int cancelFd, const std::atomic<bool>& cancelled, const uint8_t* data, uint32_t len,
                      int32_t timeoutMs, bool whole) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    uint32_t done = 0;
    while (done < len) {
        if (cancelled.load()) return false;
        const ssize_t n = write(fd, data + done, len - done);
        if (n > 0) {
            if (whole && static_cast<uint32_t>(n) != len) return false;
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        int wait = -1;
        if (timeoutMs >= 0) {
            const int64_t left =
                timeoutMs - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            if (left <= 0) return false;
            wait = static_cast<int>(left);
        }
        pollfd fds[2] = {{fd, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
        const int r = poll(fds, 2, wait);
        if (r < 0 && errno != EINTR) return false;
        if (r > 0 && (fds[1].revents & POLLIN)) return false;
        if (r > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
    }
    return true;
}

}  // namespace qv::platform

#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace qvtest {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

PtyPair::PtyPair() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0) return;
    char name[256];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        close(fd);
        return;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    master_ = fd;
    slavePath_ = name;
}

PtyPair::~PtyPair() {
    if (heldSlave_ >= 0) close(heldSlave_);
    CloseMaster();
}

bool PtyPair::WriteMaster(const void* data, size_t len, int timeoutMs) {
    if (master_ < 0) return false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(master_, p + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        int left = MsLeft(deadline);
        if (left == 0) return false;
        pollfd pfd{master_, POLLOUT, 0};
        poll(&pfd, 1, left);
    }
    return true;
}

std::vector<uint8_t> PtyPair::ReadMaster(size_t want, int timeoutMs) {
    std::vector<uint8_t> out;
    if (master_ < 0) return out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buf[4096];
    while (out.size() < want) {
        int left = MsLeft(deadline);
        pollfd pfd{master_, POLLIN, 0};
        int r = poll(&pfd, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        size_t ask = want - out.size() < sizeof buf ? want - out.size() : sizeof buf;
        ssize_t n = read(master_, buf, ask);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            break;  // EIO: no slave is open any more
        }
        if (left == 0) break;
    }
    return out;
}

std::vector<uint8_t> PtyPair::DrainMaster(int quietMs) {
    std::vector<uint8_t> out;
    for (;;) {
        std::vector<uint8_t> got = ReadMaster(65536, quietMs);
        if (got.empty()) return out;
        out.insert(out.end(), got.begin(), got.end());
    }
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

int PtyPair::HoldSlave() {
    if (heldSlave_ < 0 && !slavePath_.empty()) {
        heldSlave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    return heldSlave_;
}

}  // namespace qvtest

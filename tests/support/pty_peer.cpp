#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool pty_speed_code(uint32_t baud, unsigned& code) {
    static const struct {
        uint32_t baud;
        speed_t code;
    } table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& e : table) {
        if (e.baud == baud) {
            code = static_cast<unsigned>(e.code);
            return true;
        }
    }
    return false;
}

PtyPeer::PtyPeer(const std::string& path, uint32_t baud, int stop) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = "open " + path + ": " + std::strerror(errno);
        return;
    }
    if (!set_line(baud, stop)) close();
}

PtyPeer::~PtyPeer() { close(); }

PtyPeer::PtyPeer(PtyPeer&& other) noexcept
    : fd_(other.fd_), hung_up_(other.hung_up_), error_(std::move(other.error_)) {
    other.fd_ = -1;
}

PtyPeer& PtyPeer::operator=(PtyPeer&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        hung_up_ = other.hung_up_;
        error_ = std::move(other.error_);
        other.fd_ = -1;
    }
    return *this;
}

void PtyPeer::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool PtyPeer::set_line(uint32_t baud, int stop) {
    unsigned code = 0;
    if (!pty_speed_code(baud, code)) {
        error_ = "no speed code for " + std::to_string(baud);
        return false;
    }
    struct termios t {};
    if (::tcgetattr(fd_, &t) != 0) {
        error_ = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (stop == 2) t.c_cflag |= CSTOPB;
    else t.c_cflag &= ~CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetspeed(&t, static_cast<speed_t>(code)) != 0 || ::tcsetattr(fd_, TCSANOW, &t) != 0) {
        error_ = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool PtyPeer::write_all(std::string_view bytes) {
    if (fd_ < 0) return false;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            struct pollfd p {fd_, POLLOUT, 0};
            if (::poll(&p, 1, remaining_ms(deadline)) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

// One wait and read, appending at most `limit` bytes to `got`. False when
// nothing more will come: the wait ran out or the master side hung up.
bool PtyPeer::read_step(std::string& got, int wait_ms, size_t limit) {
    char buf[4096];
    struct pollfd p {fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, wait_ms);
    if (r < 0 && errno == EINTR) return true;
    if (r <= 0) return false;
    const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, limit));
    if (n > 0) {
        got.append(buf, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN) && (p.revents & POLLHUP) == 0) return true;
    hung_up_ = true;  // 0, EIO or a hang-up: the master side is gone
    return false;
}

std::string PtyPeer::read_until(const std::function<bool(const std::string&)>& done, int timeout_ms) {
    std::string got;
    hung_up_ = false;
    if (fd_ < 0) return got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done(got) && read_step(got, remaining_ms(deadline), SIZE_MAX)) {
    }
    return got;
}

std::string PtyPeer::read_exactly(size_t n, int timeout_ms) {
    std::string got;
    hung_up_ = false;
    if (fd_ < 0) return got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < n && read_step(got, remaining_ms(deadline), n - got.size())) {
    }
    return got;
}

std::string PtyPeer::read_quiet(int quiet_ms) {
    std::string got;
    hung_up_ = false;
    if (fd_ < 0) return got;
    while (read_step(got, quiet_ms, SIZE_MAX)) {
    }
    return got;
}

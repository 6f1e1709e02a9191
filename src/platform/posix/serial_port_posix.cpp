// COM ports on Linux: termios on a tty device opened non-blocking, with poll()
// for every wait, an eventfd that a stop request writes to wake a blocked read,
// and a second one that a cancel writes to end a blocked write.
#include "platform/serial_port.h"
#include "platform/posix/fd_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace qv::platform {

// Sets a rate that has no B constant (serial_baud_linux.cpp).
bool SetExactBaud(int fd, uint32_t baud);

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Device numbers (st_rdev) of the ttys behind the system console.
std::set<dev_t> ConsoleDevices(const std::string& sysRoot) {
    std::set<dev_t> devs;
    devs.insert(makedev(5, 1));  // /dev/console
    devs.insert(makedev(5, 0));  // /dev/tty
    std::ifstream active(sysRoot + "/class/tty/console/active");
    std::string name;
    while (active >> name) {
        std::ifstream dev(sysRoot + "/class/tty/" + name + "/dev");
        unsigned maj = 0, min = 0;
        char colon = 0;
        if (dev >> maj >> colon >> min && colon == ':') devs.insert(makedev(maj, min));
    }
    return devs;
}

// True when some process has the tty with device number `rdev` as its
// controlling terminal (field 7 of /proc/<pid>/stat).
bool IsControllingTerminal(dev_t rdev) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return false;
    bool found = false;
    while (dirent* e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        const std::string path = std::string("/proc/") + e->d_name + "/stat";
        FILE* f = std::fopen(path.c_str(), "re");
        if (f == nullptr) continue;
        char buf[1024];
        size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = '\0';
        // The command name in parentheses may hold spaces: start after the last ')'.
        const char* p = std::strrchr(buf, ')');
        if (p == nullptr) continue;
        char state = 0;
        long ppid = 0, pgrp = 0, session = 0;
        long long ttyNr = 0;
        if (std::sscanf(p + 1, " %c %ld %ld %ld %lld", &state, &ppid, &pgrp, &session, &ttyNr) != 5) {
            continue;
        }
        if (ttyNr == 0) continue;
        unsigned maj = static_cast<unsigned>((ttyNr >> 8) & 0xfff);
        unsigned min = static_cast<unsigned>((ttyNr & 0xff) | ((ttyNr >> 12) & 0xfff00));
        if (makedev(maj, min) == rdev) {
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}

speed_t SpeedFor(uint32_t baud, bool* ok) {
    *ok = true;
    switch (baud) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        case 460800: return B460800;
        case 500000: return B500000;
        case 576000: return B576000;
        case 921600: return B921600;
        case 1000000: return B1000000;
        case 1152000: return B1152000;
        case 1500000: return B1500000;
        case 2000000: return B2000000;
        case 2500000: return B2500000;
        case 3000000: return B3000000;
        case 3500000: return B3500000;
        case 4000000: return B4000000;
        default: break;
    }
    *ok = false;
    return B0;
}

class TtyDevice final : public PortDevice {
public:
    TtyDevice(int fd, int stopFd, int cancelFd) : fd_(fd), stopFd_(stopFd), cancelFd_(cancelFd) { TakeLineErrors(); }

    ~TtyDevice() override {
        // Output a cancelled write left behind would make close() wait for the
        // driver to send it (up to its closing wait, 30 s by default).
        if (cancelled_.load()) tcflush(fd_, TCOFLUSH);
        ioctl(fd_, TIOCNXCL);
        flock(fd_, LOCK_UN);
        close(fd_);
        close(stopFd_);
        close(cancelFd_);
    }

    int32_t ReadBlocking(uint8_t* buf, uint32_t cap) override {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            int r = poll(fds, 2, -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (fds[1].revents & POLLIN) return 0;
            if (fds[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) {
                ssize_t n = read(fd_, buf, cap);
                if (n > 0) return static_cast<int32_t>(n);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                return -1;  // EIO, end of file or a hang-up: the device is gone
            }
        }
    }

    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) override {
        auto start = Clock::now();
        for (;;) {
            int64_t left = timeoutMs < 0 ? -1 : timeoutMs - MsSince(start);
            if (left < 0 && timeoutMs >= 0) left = 0;
            pollfd pfd{fd_, POLLIN, 0};
            int r = poll(&pfd, 1, static_cast<int>(left));
            if (r < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (r == 0) return 0;
            ssize_t n = read(fd_, buf, cap);
            if (n > 0) return static_cast<int32_t>(n);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (left == 0) return 0;
                continue;
            }
            return -1;
        }
    }

    uint32_t QueuedInput() override {
        int n = 0;
        if (ioctl(fd_, FIONREAD, &n) != 0 || n < 0) return 0;
        return static_cast<uint32_t>(n);
    }

    void DiscardInput() override { tcflush(fd_, TCIFLUSH); }

    void DiscardOutput() override { tcflush(fd_, TCOFLUSH); }

    void RequestStop() override { SignalEventFd(stopFd_); }

    void ClearStop() override { ResetEventFd(stopFd_); }

    void Cancel() override {
        cancelled_.store(true);
        SignalEventFd(cancelFd_);  // never reset: stays readable
    }

    bool Write(const uint8_t* data, uint32_t len, int32_t timeoutMs) override {
        return WriteCancellable(fd_, cancelFd_, cancelled_, data, len, timeoutMs, false);
    }

    bool SetLine(const LineSettings& s) override {
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) return false;
        bool standard = false;
        speed_t speed = SpeedFor(s.baud, &standard);
        if (s.baud == 0) return false;
        if (!standard) speed = B38400;  // the exact rate is set below
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
        switch (s.dataBits) {
            case 5: tio.c_cflag |= CS5; break;
            case 6: tio.c_cflag |= CS6; break;
            case 7: tio.c_cflag |= CS7; break;
            case 8: tio.c_cflag |= CS8; break;
            default: return false;
        }
        if (s.stopBits != 0) tio.c_cflag |= CSTOPB;
        switch (s.parity) {
            case 0: break;
            case 1: tio.c_cflag |= PARENB | PARODD; break;
            case 2: tio.c_cflag |= PARENB; break;
            case 3: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
            case 4: tio.c_cflag |= PARENB | CMSPAR; break;
            default: return false;
        }
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        switch (s.flow) {
            case 0: break;
            case 1: tio.c_cflag |= CRTSCTS; break;
            case 2: tio.c_iflag |= IXON | IXOFF; break;
            default: return false;
        }
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        if (tcsetattr(fd_, TCSANOW, &tio) != 0 && !OnlyPtyRefusedParity(tio)) return false;
        if (!standard && !SetExactBaud(fd_, s.baud)) return false;
        if (s.flow != 1) {
            // DTR and RTS on, as a terminal program would leave them; ptys have no modem lines.
            int bits = TIOCM_DTR | TIOCM_RTS;
            ioctl(fd_, TIOCMBIS, &bits);
        }
        return true;
    }

    // A pseudo-terminal carries no parity bit and always 8 data bits: the kernel
    // clears PARENB and CSIZE, and the C library then calls the change invalid
    // when nothing else changed. Everything else applied counts as success.
    bool OnlyPtyRefusedParity(const termios& wanted) {
        if (errno != EINVAL) return false;
        struct stat st {};
        if (fstat(fd_, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
        if (major(st.st_rdev) < 136 || major(st.st_rdev) > 143) return false;  // pty slaves
        termios now{};
        if (tcgetattr(fd_, &now) != 0) return false;
        const tcflag_t ignored = PARENB | CSIZE;
        return (now.c_cflag & ~ignored) == (wanted.c_cflag & ~ignored) &&
               cfgetospeed(&now) == cfgetospeed(&wanted);
    }

    bool TakeLineErrors() override {
        serial_icounter_struct counts{};
        if (ioctl(fd_, TIOCGICOUNT, &counts) != 0) return false;
        bool seen = counts.frame != lastFrame_ || counts.parity != lastParity_;
        lastFrame_ = counts.frame;
        lastParity_ = counts.parity;
        return seen;
    }

    bool SetFeatureReport(const uint8_t*, uint32_t) override { return false; }

private:
    int fd_;
    int stopFd_;
    int cancelFd_;
    std::atomic<bool> cancelled_{false};
    int lastFrame_ = 0;
    int lastParity_ = 0;
};

}  // namespace

bool TtyIsProtected(const std::string& path) { return TtyIsProtected(path, "/sys"); }

bool TtyIsProtected(const std::string& path, const std::string& sysRoot) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;  // nothing there to protect
    if (!S_ISCHR(st.st_mode)) return false;
    if (ConsoleDevices(sysRoot).count(st.st_rdev) != 0) return true;
    // Virtual consoles tty0..tty63.
    if (major(st.st_rdev) == 4 && minor(st.st_rdev) < 64) return true;
    return IsControllingTerminal(st.st_rdev);
}

std::unique_ptr<PortDevice> OpenTtyPath(const std::string& path, uint32_t* status) {
    uint32_t dummy = 0;
    uint32_t& st = status != nullptr ? *status : dummy;
    if (path.empty()) {
        st = kOpenNotFound;
        return nullptr;
    }
    if (TtyIsProtected(path)) {
        st = kOpenDenied;
        return nullptr;
    }
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        switch (errno) {
            case ENOENT:
            case ENODEV:
            case ENXIO:
            case ENOTDIR: st = kOpenNotFound; break;
            case EACCES:
            case EPERM:
            case EBUSY: st = kOpenDenied; break;
            default: st = kOpenFailed; break;
        }
        return nullptr;
    }
    // One user at a time, like an exclusive open: an advisory lock that other
    // streams and processes of this library honour, plus TIOCEXCL for everyone else.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;  // close() may change errno
        close(fd);
        st = err == EWOULDBLOCK ? kOpenDenied : kOpenFailed;
        return nullptr;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {  // not a terminal device
        close(fd);
        st = kOpenFailed;
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);
    int stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int cancelFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stopFd < 0 || cancelFd < 0) {
        if (stopFd >= 0) close(stopFd);
        if (cancelFd >= 0) close(cancelFd);
        ioctl(fd, TIOCNXCL);
        close(fd);
        st = kOpenFailed;
        return nullptr;
    }
    st = kOpenOk;
    return std::make_unique<TtyDevice>(fd, stopFd, cancelFd);
}

}  // namespace qv::platform

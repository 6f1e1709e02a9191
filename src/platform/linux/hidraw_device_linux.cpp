// A HID interface on Linux: its hidraw node, opened non-blocking. One read()
// returns one input report and one write() sends one output report (the first
// byte is the report number, as on Windows); poll() waits for reports, with an
// eventfd beside the node that a stop request writes to wake a blocked read
// and a second one that a cancel writes to end a blocked write. Feature
// reports go through HIDIOCSFEATURE.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

#include "platform/linux/usb_linux.h"
#include "platform/posix/fd_io.h"

namespace qv::platform::usblinux {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class HidrawDevice final : public PortDevice {
public:
    HidrawDevice(int fd, int stopFd, int cancelFd) : fd_(fd), stopFd_(stopFd), cancelFd_(cancelFd) {}

    ~HidrawDevice() override {
        flock(fd_, LOCK_UN);
        close(fd_);
        close(stopFd_);
        close(cancelFd_);
    }

    int32_t ReadBlocking(uint8_t* buf, uint32_t cap) override {
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            const int r = poll(fds, 2, -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (fds[1].revents & POLLIN) return 0;
            if (fds[0].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) {
                const int32_t n = ReadReport(buf, cap);
                if (n != 0) return n;
            }
        }
    }

    int32_t ReadTimed(uint8_t* buf, uint32_t cap, int32_t timeoutMs) override {
        const auto start = Clock::now();
        for (;;) {
            int64_t left = timeoutMs < 0 ? -1 : timeoutMs - MsSince(start);
            if (timeoutMs >= 0 && left < 0) left = 0;
            pollfd pfd{fd_, POLLIN, 0};
            const int r = poll(&pfd, 1, static_cast<int>(left));
            if (r < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (r == 0) return 0;
            const int32_t n = ReadReport(buf, cap);
            if (n != 0 || left == 0) return n;
        }
    }

    // hidraw keeps no byte count of its queue: reports are read one at a time.
    uint32_t QueuedInput() override { return 0; }

    void DiscardInput() override {
        uint8_t report[256];
        for (int i = 0; i < 4096; ++i) {
            if (read(fd_, report, sizeof report) <= 0) return;
        }
    }

    void DiscardOutput() override {}

    void RequestStop() override { SignalEventFd(stopFd_); }

    void ClearStop() override { ResetEventFd(stopFd_); }

    void Cancel() override {
        cancelled_.store(true);
        SignalEventFd(cancelFd_);  // never reset: stays readable
    }

    // One report per call: a report is written whole or not at all.
    bool Write(const uint8_t* data, uint32_t len, int32_t timeoutMs) override {
        return WriteCancellable(fd_, cancelFd_, cancelled_, data, len, timeoutMs, true);
    }

    bool SetLine(const LineSettings&) override { return false; }

    bool TakeLineErrors() override { return false; }

    bool SetFeatureReport(const uint8_t* report, uint32_t len) override {
        if (report == nullptr || len == 0 || len > 4096) return false;
        std::unique_ptr<uint8_t[]> copy(new uint8_t[len]);
        std::copy(report, report + len, copy.get());
        return ioctl(fd_, HIDIOCSFEATURE(len), copy.get()) >= 0;
    }

private:
    // One report: its size; 0 when none is waiting; -1 when the device is gone
    // (an unplugged node reads as an error or as end of file).
    int32_t ReadReport(uint8_t* buf, uint32_t cap) {
        const ssize_t n = read(fd_, buf, cap);
        if (n > 0) return static_cast<int32_t>(n);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
        return -1;
    }

    int fd_;
    int stopFd_;
    int cancelFd_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace

std::unique_ptr<PortDevice> OpenHidraw(const std::string& devnode, UsbShare share, uint32_t* status) {
    const int fd = open(devnode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *status = OpenErrnoStatus(errno);
        return nullptr;
    }
    if (!LockForShare(fd, share, status)) {
        close(fd);
        return nullptr;
    }
    const int stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int cancelFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stopFd < 0 || cancelFd < 0) {
        if (stopFd >= 0) close(stopFd);
        if (cancelFd >= 0) close(cancelFd);
        close(fd);
        *status = kOpenFailed;
        return nullptr;
    }
    *status = kOpenOk;
    return std::make_unique<HidrawDevice>(fd, stopFd, cancelFd);
}

}  // namespace qv::platform::usblinux

// Device-change watch on Linux: udev's monitor, the kernel's uevent socket
// (for systems without a udev daemon, where udev's monitor stays silent),
// inotify on the directories of declared port paths, and an eventfd to wake
// the waiter. Everything is read and thrown away: the waiter looks for itself.
#include "platform/device_changes.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <set>

#include "core/log.h"

namespace qv::platform {
namespace {

class LinuxDeviceChangeWatch final : public DeviceChangeWatch {
public:
    explicit LinuxDeviceChangeWatch(int wakeFd) : wakeFd_(wakeFd) {}

    ~LinuxDeviceChangeWatch() override {
        if (monitor_ != nullptr) udev_monitor_unref(monitor_);
        if (udev_ != nullptr) udev_unref(udev_);
        if (kernelFd_ >= 0) close(kernelFd_);
        if (inotifyFd_ >= 0) close(inotifyFd_);
        close(wakeFd_);
    }

    void OpenUdev() {
        udev_ = udev_new();
        if (udev_ == nullptr) return;
        monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
        if (monitor_ == nullptr || udev_monitor_enable_receiving(monitor_) < 0) {
            if (monitor_ != nullptr) udev_monitor_unref(monitor_);
            monitor_ = nullptr;
            return;
        }
        udevFd_ = udev_monitor_get_fd(monitor_);
    }

    void OpenKernelSocket() {
        const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
        if (fd < 0) return;
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = 1;  // the kernel's uevent broadcasts
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd);
            return;
        }
        kernelFd_ = fd;
    }

    void WatchPaths(const std::vector<std::string>& paths) {
        std::set<std::string> dirs;
        for (const std::string& p : paths) {
            const size_t slash = p.rfind('/');
            dirs.insert(slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : p.substr(0, slash));
        }
        if (dirs.empty()) return;
        inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotifyFd_ < 0) return;
        int added = 0;
        for (const std::string& d : dirs) {
            if (inotify_add_watch(inotifyFd_, d.c_str(),
                                  IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB) >= 0) {
                ++added;
            }
        }
        if (added == 0) {
            close(inotifyFd_);
            inotifyFd_ = -1;
        }
    }

    bool Wait(int timeoutMs) override {
        pollfd fds[4];
        nfds_t n = 0;
        fds[n++] = {wakeFd_, POLLIN, 0};
        if (udevFd_ >= 0) fds[n++] = {udevFd_, POLLIN, 0};
        if (kernelFd_ >= 0) fds[n++] = {kernelFd_, POLLIN, 0};
        if (inotifyFd_ >= 0) fds[n++] = {inotifyFd_, POLLIN, 0};
        int r = poll(fds, n, timeoutMs);
        if (r < 0 && errno == EINTR) return true;  // look again
        if (r <= 0) return false;
        Drain();
        return true;
    }

    void Wake() override {
        const uint64_t one = 1;
        ssize_t w = write(wakeFd_, &one, sizeof one);
        (void)w;  // a full counter wakes the waiter just the same
    }

    int Sources() const override {
        return (udevFd_ >= 0 ? 1 : 0) + (kernelFd_ >= 0 ? 1 : 0) + (inotifyFd_ >= 0 ? 1 : 0);
    }

private:
    // Consumes what has gathered on every source, without blocking.
    void Drain() {
        uint64_t count = 0;
        while (read(wakeFd_, &count, sizeof count) > 0) {
        }
        if (monitor_ != nullptr) {
            for (int i = 0; i < 64; ++i) {
                udev_device* d = udev_monitor_receive_device(monitor_);
                if (d == nullptr) break;
                udev_device_unref(d);
            }
        }
        char buf[4096];
        if (kernelFd_ >= 0) {
            for (int i = 0; i < 64 && recv(kernelFd_, buf, sizeof buf, MSG_DONTWAIT) > 0; ++i) {
            }
        }
        if (inotifyFd_ >= 0) {
            for (int i = 0; i < 64 && read(inotifyFd_, buf, sizeof buf) > 0; ++i) {
            }
        }
    }

    int wakeFd_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    int udevFd_ = -1;
    int kernelFd_ = -1;
    int inotifyFd_ = -1;
};

}  // namespace

std::unique_ptr<DeviceChangeWatch> OpenDeviceChangeWatch(const std::vector<std::string>& paths) {
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        QV_LOG("%s %d eventfd failed: %d\n", "OpenDeviceChangeWatch", __LINE__, errno);
        return nullptr;
    }
    auto watch = std::make_unique<LinuxDeviceChangeWatch>(wakeFd);
    watch->OpenUdev();
    watch->OpenKernelSocket();
    watch->WatchPaths(paths);
    return watch;
}

bool DeviceNodePresent(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace qv::platform

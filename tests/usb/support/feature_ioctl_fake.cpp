#include "feature_ioctl_fake.h"

#include <dlfcn.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <cstring>
#include <mutex>

namespace {

std::mutex& ReportsMutex() {
    static std::mutex m;
    return m;
}

std::vector<std::vector<uint8_t>>& Reports() {
    static std::vector<std::vector<uint8_t>> r;
    return r;
}

// umockdev's pty-backed nodes are pty slaves behind the preload's redirection.
bool IsFakeNode(int fd) {
    char link[64];
    char target[256] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 && std::string(target, static_cast<size_t>(n)).rfind("/dev/pts/", 0) == 0;
}

bool IsSetFeature(unsigned long request) {
    return _IOC_TYPE(request) == 'H' && _IOC_NR(request) == _IOC_NR(HIDIOCSFEATURE(0)) &&
           _IOC_DIR(request) == (_IOC_READ | _IOC_WRITE);
}

}  // namespace

namespace qvtest {

std::vector<std::vector<uint8_t>> FakeFeatureReports() {
    std::lock_guard<std::mutex> lock(ReportsMutex());
    return Reports();
}

}  // namespace qvtest

// Every ioctl() of the program and its libraries reaches this one first. (The
// node is recognised by what its descriptor links to: the preload answers
// isatty() and fstat() for it as for the device it stands for.)
extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (IsSetFeature(request) && arg != nullptr && IsFakeNode(fd)) {
        const size_t len = _IOC_SIZE(request);
        const auto* bytes = static_cast<const uint8_t*>(arg);
        std::lock_guard<std::mutex> lock(ReportsMutex());
        Reports().emplace_back(bytes, bytes + len);
        return static_cast<int>(len);
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static const Ioctl next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, arg);
}

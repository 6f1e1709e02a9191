#include "net_namespace.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qvtest {
namespace {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

bool LoopbackUp(std::string* why) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (why) *why = ErrnoText("socket");
        return false;
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (!ok && why) *why = ErrnoText("bringing lo up");
    ::close(fd);
    return ok;
}

}  // namespace

bool EnterPrivateNetwork(std::string* why) {
    if (::unshare(CLONE_NEWNET) != 0) {
        if (why) *why = ErrnoText("unshare(CLONE_NEWNET)");
        return false;
    }
    return LoopbackUp(why);
}

bool OnlyLoopbackNetwork(std::string* why) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        if (why) *why = ErrnoText("getifaddrs");
        return false;
    }
    bool ok = true;
    for (const ifaddrs* i = list; i != nullptr && ok; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK)) continue;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
        if (why) *why = std::string("not a private network namespace: ") + i->ifa_name + " has " + text;
        ok = false;
    }
    ::freeifaddrs(list);
    return ok;
}

bool AddLoopbackAddress(const std::string& address, std::string* why) {
    if (!OnlyLoopbackNetwork(why)) return false;
    static int label = 0;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (why) *why = ErrnoText("socket");
        return false;
    }
    ifreq ifr{};
    const std::string name = "lo:" + std::to_string(++label);
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    auto* sa = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr);
    sa->sin_family = AF_INET;
    bool ok = ::inet_pton(AF_INET, address.c_str(), &sa->sin_addr) == 1;
    if (!ok) {
        if (why) *why = "not an IPv4 address: " + address;
    } else if (::ioctl(fd, SIOCSIFADDR, &ifr) != 0) {
        if (why) *why = ErrnoText("adding " + address + " to lo");
        ok = false;
    }
    ::close(fd);
    return ok;
}

}  // namespace qvtest

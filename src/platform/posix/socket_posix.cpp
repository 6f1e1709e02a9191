// IPv4 sockets on Linux: BSD sockets, poll() for every wait with an eventfd as
// the cancel event, MSG_NOSIGNAL on every send (a reset peer never raises
// SIGPIPE in the host application), getifaddrs for the local addresses.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>

namespace qv::platform {
namespace {

using Clock = std::chrono::steady_clock;

void SetErr(int* err, int value) {
    if (err != nullptr) *err = value;
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

bool SetIntOption(Socket s, int level, int name, int value, int* err) {
    if (::setsockopt(s, level, name, &value, sizeof value) == 0) return true;
    SetErr(err, errno);
    return false;
}

// Milliseconds left until `end`, for poll(); -1 (no limit) when end is max.
int RemainingMs(Clock::time_point end) {
    if (end == Clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Polls a socket (may be -1) for `events` together with the cancel event,
// restarting after signals until the time-out.
WaitResult Wait(Socket s, short events, int timeoutMs, const CancelEvent* cancel, int* err) {
    const Clock::time_point end =
        timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (cancel != nullptr && cancel->Signalled()) return WaitResult::kCancelled;
        pollfd p[2] = {{s, events, 0}, {cancel != nullptr ? cancel->fd() : -1, POLLIN, 0}};
        const int r = ::poll(p, 2, RemainingMs(end));
        if (r < 0) {
            if (errno == EINTR) continue;
            SetErr(err, errno);
            return WaitResult::kFailed;
        }
        if (p[1].revents != 0) return WaitResult::kCancelled;
        if (p[0].revents & POLLNVAL) {
            SetErr(err, EBADF);
            return WaitResult::kFailed;
        }
        if (p[0].revents != 0) return WaitResult::kReady;
        if (r == 0 && RemainingMs(end) == 0) return WaitResult::kTimedOut;
    }
}

}  // namespace

NetError ClassifyError(int err) {
    switch (err) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS:
            return NetError::kWouldBlock;
        case ECONNRESET:
        case ENETDOWN:
        case EPIPE:
        case ECONNABORTED:
        case ENOTCONN:
            return NetError::kReset;
        case ETIMEDOUT:
            return NetError::kTimedOut;
        case EINTR:
            return NetError::kInterrupted;
        default:
            return NetError::kOther;
    }
}

bool StartNetwork(int* /*err*/) { return true; }

void StopNetwork() {}

Socket CreateTcpSocket(int* err) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) SetErr(err, errno);
    return s < 0 ? kNoSocket : s;
}

Socket CreateUdpSocket(int* err) {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) SetErr(err, errno);
    return s < 0 ? kNoSocket : s;
}

void CloseSocket(Socket s) {
    if (s >= 0) ::close(s);
}

void ResetConnection(Socket s) {
    if (s < 0) return;
    linger l{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(s);
}

bool SetNonBlocking(Socket s, int* err) {
    const int flags = ::fcntl(s, F_GETFL);
    if (flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0) return true;
    SetErr(err, errno);
    return false;
}

bool SetReuseAddress(Socket s, int* err) { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1, err); }

bool SetBroadcast(Socket s, int* err) { return SetIntOption(s, SOL_SOCKET, SO_BROADCAST, 1, err); }

bool SetKeepAlive(Socket s, int idleMs, int intervalMs, int count, int* err) {
    // Linux counts keep-alive times in whole seconds; at least one.
    const int idle = std::max(1, idleMs / 1000);
    const int interval = std::max(1, intervalMs / 1000);
    return SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1, err) && SetIntOption(s, IPPROTO_TCP, TCP_KEEPIDLE, idle, err) &&
           SetIntOption(s, IPPROTO_TCP, TCP_KEEPINTVL, interval, err) &&
           SetIntOption(s, IPPROTO_TCP, TCP_KEEPCNT, count, err);
}

bool ParseIPv4(const char* text, uint32_t* address) {
    if (text == nullptr) return false;
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) != 1) return false;
    *address = ntohl(a.s_addr);
    return true;
}

std::string FormatIPv4(uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool BindIPv4(Socket s, uint32_t address, uint16_t port, int* err) {
    const sockaddr_in sa = MakeAddress(address, port);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return true;
    SetErr(err, errno);
    return false;
}

bool Listen(Socket s, int backlog, int* err) {
    if (::listen(s, backlog) == 0) return true;
    SetErr(err, errno);
    return false;
}

uint16_t LocalPort(Socket s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

Socket Accept(Socket listener, uint32_t* peer, int* err) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    for (;;) {
        const int s = ::accept4(listener, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
        if (s >= 0) {
            if (peer != nullptr) *peer = ntohl(sa.sin_addr.s_addr);
            return s;
        }
        if (errno == EINTR) continue;
        SetErr(err, errno);
        return kNoSocket;
    }
}

CancelEvent::CancelEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelEvent::~CancelEvent() {
    if (fd_ >= 0) ::close(fd_);
}

bool CancelEvent::valid() const { return fd_ >= 0; }

void CancelEvent::Signal() {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    // A full counter already means "signalled"; nothing else can fail here.
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool CancelEvent::Signalled() const {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;  // the counter is never read: it stays set
}

WaitResult WaitReadable(Socket s, int timeoutMs, const CancelEvent* cancel, int* err) {
    return Wait(s, POLLIN, timeoutMs, cancel, err);
}

WaitResult WaitWritable(Socket s, int timeoutMs, const CancelEvent* cancel, int* err) {
    return Wait(s, POLLOUT, timeoutMs, cancel, err);
}

WaitResult WaitCancelled(int timeoutMs, const CancelEvent* cancel) {
    int err = 0;
    const WaitResult r = Wait(-1, 0, timeoutMs, cancel, &err);
    return r == WaitResult::kReady ? WaitResult::kTimedOut : r;
}

ConnectResult ConnectIPv4(Socket s, uint32_t address, uint16_t port, int timeoutMs, const CancelEvent* cancel,
                          int* err) {
    const sockaddr_in sa = MakeAddress(address, port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return ConnectResult::kConnected;
    if (errno != EINPROGRESS && errno != EINTR) {
        SetErr(err, errno);
        return ConnectResult::kFailed;
    }
    switch (WaitWritable(s, timeoutMs, cancel, err)) {
        case WaitResult::kTimedOut: return ConnectResult::kTimedOut;
        case WaitResult::kCancelled: return ConnectResult::kCancelled;
        case WaitResult::kFailed: return ConnectResult::kFailed;
        case WaitResult::kReady: break;
    }
    // Writable also when the handshake failed: the socket's error tells.
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
    if (soError == 0) return ConnectResult::kConnected;
    SetErr(err, soError);
    return ConnectResult::kFailed;
}

int64_t Send(Socket s, const void* data, size_t length, int* err) {
    const ssize_t n = ::send(s, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) SetErr(err, errno);
    return n;
}

int64_t Receive(Socket s, void* buffer, size_t capacity, int* err) {
    const ssize_t n = ::recv(s, buffer, capacity, MSG_DONTWAIT);
    if (n < 0) SetErr(err, errno);
    return n;
}

ConnectionState PeekConnection(Socket s) {
    ConnectionState st;
    pollfd p{s, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return st;
    st.errorPending = (p.revents & (POLLERR | POLLNVAL)) != 0;
    st.peerClosed = (p.revents & (POLLRDHUP | POLLHUP)) != 0;
    if (p.revents & POLLIN) {
        // Readable also at the end of the stream: only bytes count.
        int queued = 0;
        st.readable = ::ioctl(s, FIONREAD, &queued) == 0 && queued > 0;
    }
    return st;
}

int64_t SendTo(Socket s, const void* data, size_t length, uint32_t address, uint16_t port, int* err) {
    const sockaddr_in sa = MakeAddress(address, port);
    const ssize_t n =
        ::sendto(s, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n < 0) SetErr(err, errno);
    return n;
}

int64_t ReceiveFrom(Socket s, void* buffer, size_t capacity, uint32_t* from, int* err) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const ssize_t n = ::recvfrom(s, buffer, capacity, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) {
        SetErr(err, errno);
        return -1;
    }
    if (from != nullptr) *from = ntohl(sa.sin_addr.s_addr);
    return n;
}

bool LocalIPv4Addresses(std::vector<std::string>* out, int* err) {
    out->clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        SetErr(err, errno);
        return false;
    }
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_UP) == 0) continue;
        const auto* sa = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        std::string text = FormatIPv4(ntohl(sa->sin_addr.s_addr));
        if (std::find(out->begin(), out->end(), text) == out->end()) out->push_back(std::move(text));
    }
    ::freeifaddrs(list);
    return true;
}

}  // namespace qv::platform

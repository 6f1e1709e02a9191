#include "sim_tcp_clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim_config.h"

namespace qvsim {
namespace {

constexpr size_t kMaxClients = 1000;

std::string hex_of(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace

TcpClients::~TcpClients() { close_all(); }

void TcpClients::close_all() {
    for (int& fd : fds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

int TcpClients::at(const std::string& word) const {
    uint64_t i = 0;
    if (!parse_uint(word, kMaxClients, i) || i >= fds_.size()) return -1;
    return fds_[i];
}

std::string TcpClients::command(const std::vector<std::string>& w) {
    if (w.size() == 4 && w[1] == "connect") {
        uint64_t port = 0, count = 0;
        if (!parse_uint(w[2], 65535, port) || port == 0) return "ERR bad port '" + w[2] + "'";
        if (!parse_uint(w[3], kMaxClients, count) || count == 0 || fds_.size() + count > kMaxClients) {
            return "ERR bad client count '" + w[3] + "'";
        }
        const size_t first = fds_.size();
        for (uint64_t k = 0; k < count; ++k) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // never anywhere else
            sa.sin_port = htons(static_cast<uint16_t>(port));
            if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
                const std::string why = std::strerror(errno);
                if (fd >= 0) ::close(fd);
                return "ERR connect " + std::to_string(fds_.size() - first) + " made: " + why;
            }
            fds_.push_back(fd);
        }
        return "OK " + std::to_string(first) + " " + std::to_string(fds_.size() - 1);
    }
    if (w.size() == 3 && w[1] == "close" && w[2] == "all") {
        close_all();
        return "OK";
    }
    if (w.size() < 3) {
        return "ERR usage: tcpclient connect <port> <count> | send <i> <hex> | recv <i> | state <i> | close <i>|all";
    }
    const int fd = at(w[2]);
    if (fd < 0) return "ERR no client '" + w[2] + "'";
    if (w[1] == "send" && w.size() >= 4) {
        std::string hex;
        for (size_t i = 3; i < w.size(); ++i) hex += w[i];
        std::string bytes;
        if (!from_hex(hex, bytes) || bytes.empty()) return "ERR bad hex bytes";
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::string("ERR send: ") + std::strerror(errno);
            done += static_cast<size_t>(n);
        }
        return "OK";
    }
    if (w[1] == "recv" && w.size() == 3) {
        std::string got;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return "OK " + hex_of(got);
    }
    if (w[1] == "state" && w.size() == 3) {
        char c;
        const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        const bool closed = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
        return closed ? "OK closed" : "OK open";
    }
    if (w[1] == "close" && w.size() == 3) {
        uint64_t i = 0;
        parse_uint(w[2], kMaxClients, i);
        ::close(fds_[i]);
        fds_[i] = -1;
        return "OK";
    }
    return "ERR tcpclient command must be connect, send, recv, state or close";
}

}  // namespace qvsim

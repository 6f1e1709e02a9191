// The TCP link of a network scanner: a listener on 127.0.0.1 and at most one
// host connection, with the faults a network adds: a reset connection, an
// orderly close, refused handshakes (for good, or for a number of attempts),
// a handshake that never completes, and a host whose bytes are not read.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim_link.h"

namespace qvsim {
namespace {

constexpr int kBacklog = 16;
// How often a refusal that ends after a number of attempts looks at the
// count of failed connection attempts.
constexpr int kAttemptPollMs = 2;

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    return sa;
}

// Connection attempts that failed in this network namespace (the TCP
// AttemptFails counter): a refused handshake counts one.
uint64_t failed_attempts() {
    std::ifstream in("/proc/self/net/snmp");
    std::string header, values;
    while (std::getline(in, header)) {
        if (header.rfind("Tcp:", 0) != 0 || !std::getline(in, values)) continue;
        std::istringstream h(header), v(values);
        std::string name, value;
        while (h >> name && v >> value) {
            if (name == "AttemptFails") return std::stoull(value);
        }
    }
    return 0;
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

class TcpLink : public SimLink {
public:
    explicit TcpLink(uint16_t port) : port_(port) {}
    ~TcpLink() override { close(); }

    bool open(std::string& error) override {
        state_ = State::accepting;
        return listen_on(kBacklog, error);
    }

    void close() override {
        close_fd(conn_);
        close_fd(listener_);
        close_fd(filler_);
        state_ = State::closed;
    }

    void finish() override {}
    bool present() const override { return state_ != State::closed; }
    int data_fd() const override { return conn_; }
    bool reading() const override { return reading_; }
    int event_fd() const override { return state_ == State::accepting ? listener_ : -1; }

    bool on_event() override {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return false;
        // The newest host wins: a host that reconnects has given the old
        // connection up.
        close_fd(conn_);
        conn_ = fd;
        ++connections_;
        return true;
    }

    int timer_ms() const override { return state_ == State::refusing_some ? kAttemptPollMs : -1; }

    bool on_timer() override {
        if (state_ != State::refusing_some || failed_attempts() < refuse_until_) return false;
        std::string error;
        state_ = State::accepting;
        if (!listen_on(kBacklog, error)) state_ = State::refusing;
        return false;
    }

    bool on_hangup() override {
        close_fd(conn_);
        return true;
    }

    bool attached() const override { return conn_ >= 0; }
    bool line_matches(bool) const override { return true; }

    std::string command(const std::vector<std::string>& w, bool* changed) override {
        *changed = false;
        if (w.empty()) return "ERR missing link command";
        if (w[0] == "reset" && w.size() == 1) {
            if (conn_ < 0) return "ERR no connection";
            linger l{1, 0};
            ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            close_fd(conn_);
            *changed = true;
            return "OK";
        }
        if (w[0] == "hangup" && w.size() == 1) {
            if (conn_ < 0) return "ERR no connection";
            // Unread input would turn the close into a reset: take it first.
            char drain[4096];
            while (::recv(conn_, drain, sizeof drain, MSG_DONTWAIT) > 0) {
            }
            ::shutdown(conn_, SHUT_WR);
            close_fd(conn_);
            *changed = true;
            return "OK";
        }
        if (w[0] == "read" && w.size() == 1) {
            reading_ = true;
            return "OK";
        }
        if (w[0] == "noread" && w.size() == 1) {
            reading_ = false;
            return "OK";
        }
        if (state_ == State::closed) return "ERR port unplugged";
        std::string error;
        if (w[0] == "accept" && w.size() == 1) {
            close_fd(listener_);
            close_fd(filler_);
            state_ = State::accepting;
            return listen_on(kBacklog, error) ? "OK" : "ERR " + error;
        }
        if (w[0] == "refuse" && w.size() <= 2) {
            uint64_t count = 0;
            if (w.size() == 2 && (!parse_uint(w[1], 1000, count) || count == 0)) return "ERR bad attempt count";
            close_fd(listener_);
            close_fd(filler_);
            state_ = count == 0 ? State::refusing : State::refusing_some;
            refuse_until_ = failed_attempts() + count;
            return "OK";
        }
        if (w[0] == "hang" && w.size() == 1) {
            // A listener whose queue is full drops every new handshake: one
            // connection of our own fills a queue of length 0.
            close_fd(listener_);
            close_fd(filler_);
            state_ = State::hanging;
            if (!listen_on(0, error)) return "ERR " + error;
            filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in sa = loopback(port_);
            if (filler_ < 0 || ::connect(filler_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
                return "ERR " + errno_text("filler connect");
            }
            return "OK";
        }
        return "ERR tcp command must be reset, hangup, read, noread, accept, refuse [n] or hang";
    }

    std::string stats() const override {
        return " connections=" + std::to_string(connections_) + " connected=" + (conn_ >= 0 ? "1" : "0");
    }

    uint16_t port() const { return port_; }

private:
    enum class State { closed, accepting, refusing, refusing_some, hanging };

    bool listen_on(int backlog, std::string& error) {
        close_fd(listener_);
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listener_ < 0) {
            error = errno_text("socket");
            return false;
        }
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in sa = loopback(port_);
        if (::bind(listener_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(listener_, backlog) != 0) {
            error = errno_text("bind/listen 127.0.0.1");
            close_fd(listener_);
            return false;
        }
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &len);
        port_ = ntohs(bound.sin_port);  // kept for every later listener
        return true;
    }

    uint16_t port_;
    State state_ = State::closed;
    int listener_ = -1;
    int conn_ = -1;
    int filler_ = -1;
    bool reading_ = true;
    uint64_t refuse_until_ = 0;
    uint64_t connections_ = 0;
};

}  // namespace

std::unique_ptr<SimLink> make_tcp_link(uint16_t port) { return std::make_unique<TcpLink>(port); }

uint16_t tcp_link_port(const SimLink& link) {
    const auto* tcp = dynamic_cast<const TcpLink*>(&link);
    return tcp == nullptr ? 0 : tcp->port();
}

}  // namespace qvsim

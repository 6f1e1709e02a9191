// The node link: a scanner behind a descriptor the simulator inherited, the
// device side of a fake USB node a test made (a fake hidraw node speaking
// 64-byte reports, or a vendor-driver device's bulk endpoints). The host opens
// the node's other side itself; the descriptor cannot be recreated, so such a
// port cannot be unplugged and plugged in again.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "line_settings.h"
#include "sim_link.h"

namespace qvsim {
namespace {

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

class NodeLink : public SimLink {
public:
    explicit NodeLink(const PortConfig& cfg) : hid_(cfg.hid_fd >= 0), given_(hid_ ? cfg.hid_fd : cfg.raw_fd) {}
    ~NodeLink() override { close(); }

    bool open(std::string& error) override {
        if (given_ < 0) {
            error = "a port behind a given device cannot be plugged in again";
            return false;
        }
        const int flflags = ::fcntl(given_, F_GETFL);
        if (flflags < 0 || ::fcntl(given_, F_SETFD, FD_CLOEXEC) != 0 ||
            ::fcntl(given_, F_SETFL, flflags | O_NONBLOCK) != 0) {
            error = errno_text("node descriptor");
            return false;
        }
        if (hid_ && !init_report_line(given_)) {
            error = errno_text("node descriptor termios");
            return false;
        }
        fd_ = given_;
        given_ = -1;
        return true;
    }

    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void finish() override {}
    bool present() const override { return fd_ >= 0; }
    int data_fd() const override { return fd_; }
    // The node's other side closed by the host: keep the descriptor, the host
    // may open the node again.
    bool on_hangup() override { return false; }

    bool attached() const override {
        if (fd_ < 0) return false;
        struct pollfd p {fd_, POLLOUT, 0};
        if (::poll(&p, 1, 0) < 0) return true;
        return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
    }
    // Reports and bulk endpoints have no line settings.
    bool line_matches(bool) const override { return fd_ >= 0; }

    std::string hold() override { return "ERR a port behind a given device has no pty to hold"; }
    std::string release() override { return "ERR a port behind a given device has no pty to hold"; }
    std::string settings() const override {
        if (fd_ < 0) return "ERR port unplugged";
        return hid_ ? "OK hid" : "OK raw";
    }

private:
    const bool hid_;
    int given_;
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<SimLink> make_node_link(const PortConfig& cfg) { return std::make_unique<NodeLink>(cfg); }

}  // namespace qvsim

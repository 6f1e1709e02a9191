// The pty link: a pty master the scanner owns, its slave reached by the host
// through a symlink that stays at the same path across unplug and replug.
//
// The simulator keeps no slave fd of its own (except during `hold`): the host
// program must see its own open/close as it would on a real port, and an
// `unplug` must hang it up. The cost is that poll() on the master reports
// POLLHUP continuously while nobody has the slave open; the port then
// re-checks every few milliseconds instead of spinning, and an EIO from a
// master read only means "nobody attached".
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "line_settings.h"
#include "sim_link.h"

namespace qvsim {
namespace {

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

class PtyLink : public SimLink {
public:
    PtyLink(const PortConfig& cfg, std::string link_path) : cfg_(cfg), link_path_(std::move(link_path)) {}
    ~PtyLink() override {
        close();
        finish();
    }

    bool open(std::string& error) override { return create_pty(error) && point_link(error); }

    void close() override {
        if (held_fd_ >= 0) {
            ::close(held_fd_);
            held_fd_ = -1;
        }
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    void finish() override {
        if (link_made_) {
            ::unlink(link_path_.c_str());
            link_made_ = false;
        }
    }

    bool present() const override { return master_ >= 0; }
    int data_fd() const override { return master_; }
    bool on_hangup() override { return false; }

    bool attached() const override {
        if (master_ < 0) return false;
        struct pollfd p {master_, POLLOUT, 0};
        if (::poll(&p, 1, 0) < 0) return true;  // cannot tell; let the write decide
        return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
    }

    bool host_line(LineSettings& ls) const override { return master_ >= 0 && read_line_settings(master_, ls); }

    void move_to(const std::string& where) override {
        if (where == link_path_) return;
        finish();
        link_path_ = where;
    }
    std::string where() const override { return link_path_; }

    bool line_matches(bool stop_bits_too) const override {
        if (master_ < 0) return false;
        LineSettings ls;
        if (!read_line_settings(master_, ls)) return false;
        return ls.baud == cfg_.baud && (!stop_bits_too || ls.stop == cfg_.stop);
    }

    std::string hold() override {
        if (master_ < 0) return "ERR port unplugged";
        if (held_fd_ >= 0) return "ERR already held";
        // Only opened to carry the lock: never read, never configured.
        const int fd = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return "ERR " + errno_text("open");
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const std::string e = errno_text("flock");
            ::close(fd);
            return "ERR " + e;
        }
        held_fd_ = fd;
        return "OK";
    }

    std::string release() override {
        if (held_fd_ < 0) return "ERR not held";
        ::close(held_fd_);
        held_fd_ = -1;
        return "OK";
    }

    std::string settings() const override {
        if (master_ < 0) return "ERR port unplugged";
        LineSettings ls;
        if (!read_line_settings(master_, ls)) return "ERR " + errno_text("tcgetattr");
        return "OK baud=" + std::to_string(ls.baud) + " stop=" + std::to_string(ls.stop);
    }

private:
    bool create_pty(std::string& error) {
        int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (fd < 0) {
            error = errno_text("posix_openpt");
            return false;
        }
        char name[128];
        if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
            error = errno_text("pty setup");
            ::close(fd);
            return false;
        }
        const int fdflags = ::fcntl(fd, F_GETFD);
        const int flflags = ::fcntl(fd, F_GETFL);
        if (fdflags < 0 || flflags < 0 || ::fcntl(fd, F_SETFD, fdflags | FD_CLOEXEC) != 0 ||
            ::fcntl(fd, F_SETFL, flflags | O_NONBLOCK) != 0) {
            error = errno_text("fcntl");
            ::close(fd);
            return false;
        }
        // Raw from the start, so nothing is echoed back to a host that opens the
        // slave. The initial rate is one the scanner is not configured for: until
        // the host sets its own line settings the scanner stays silent. This also
        // keeps barcodes from piling up in a slave nobody has opened yet (the
        // kernel would keep them and hand them to the first opener).
        const uint32_t initial = cfg_.baud == 50 ? 75 : 50;
        if (!init_raw_line(fd, initial)) {
            error = errno_text("termios");
            ::close(fd);
            return false;
        }
        master_ = fd;
        slave_path_ = name;
        return true;
    }

    bool point_link(std::string& error) {
        // Build the new link beside the old one and rename it over, so the path
        // never goes missing while it is re-pointed.
        const size_t slash = link_path_.rfind('/');
        const std::string tmp = link_path_.substr(0, slash + 1) + "." + link_path_.substr(slash + 1) + ".new";
        ::unlink(tmp.c_str());
        if (::symlink(slave_path_.c_str(), tmp.c_str()) != 0) {
            error = errno_text(("symlink " + tmp).c_str());
            return false;
        }
        if (::rename(tmp.c_str(), link_path_.c_str()) != 0) {
            error = errno_text(("rename to " + link_path_).c_str());
            ::unlink(tmp.c_str());
            return false;
        }
        link_made_ = true;
        return true;
    }

    const PortConfig cfg_;
    std::string link_path_;
    int master_ = -1;
    std::string slave_path_;
    bool link_made_ = false;
    int held_fd_ = -1;
};

}  // namespace

std::unique_ptr<SimLink> make_pty_link(const PortConfig& cfg, const std::string& link_path) {
    return std::make_unique<PtyLink>(cfg, link_path);
}

}  // namespace qvsim

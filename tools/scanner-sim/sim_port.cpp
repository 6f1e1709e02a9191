#include "sim_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "line_settings.h"

namespace qvsim {

namespace {

using std::chrono::milliseconds;

// Re-check period while nobody has the slave open (poll would report POLLHUP
// at once, forever).
constexpr milliseconds kDetachedRecheck{5};
// Retry period of a write waiting for room in the pty. The port thread also
// polls for POLLOUT then, but retrying on a timer as well keeps this from
// depending on exactly when the kernel wakes writers of a pty master.
constexpr milliseconds kWriteRetry{10};

int poll_timeout(Clock::time_point now, Clock::time_point due) {
    if (due <= now) return 0;
    auto ms = std::chrono::ceil<milliseconds>(due - now).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

SimPort::SimPort(PortConfig cfg, std::string link_path)
    : cfg_(std::move(cfg)), link_path_(std::move(link_path)), mode_(cfg_.mode),
      rng_(std::random_device{}()) {}

SimPort::~SimPort() { stop(); }

bool SimPort::start(std::string& error) {
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = errno_text("pipe2");
        return false;
    }
    wake_rd_ = p[0];
    wake_wr_ = p[1];
    {
        std::lock_guard lk(mu_);
        if (!create_pty_locked(error) || !point_link_locked(error)) return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void SimPort::stop() {
    {
        std::lock_guard lk(mu_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lk(mu_);
    close_pty_locked();
    if (link_made_) {
        ::unlink(link_path_.c_str());
        link_made_ = false;
    }
    if (wake_rd_ >= 0) ::close(wake_rd_);
    if (wake_wr_ >= 0) ::close(wake_wr_);
    wake_rd_ = wake_wr_ = -1;
}

void SimPort::wake() {
    if (wake_wr_ < 0) return;
    const char c = 1;
    // A full pipe already means "wake up"; nothing else can go wrong here.
    while (::write(wake_wr_, &c, 1) < 0 && errno == EINTR) {
    }
}

bool SimPort::create_pty_locked(std::string& error) {
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
    ++generation_;
    return true;
}

void SimPort::close_pty_locked() {
    if (held_fd_ >= 0) {
        ::close(held_fd_);
        held_fd_ = -1;
    }
    for (const auto& item : queue_) dropped_ += item.bytes.size() - item.offset;
    finished_ += queue_.size();
    queue_.clear();
    blocked_ = false;
    stalled_ = false;
    progress_.notify_all();
    parser_.reset();
    cut_.reset();
    split_.reset();
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
        ++generation_;
    }
}

bool SimPort::point_link_locked(std::string& error) {
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

bool SimPort::attached_locked() const {
    if (master_ < 0) return false;
    struct pollfd p {master_, POLLOUT, 0};
    if (::poll(&p, 1, 0) < 0) return true;  // cannot tell; let the write decide
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

bool SimPort::line_matches_locked() const {
    if (master_ < 0) return false;
    LineSettings ls;
    if (!read_line_settings(master_, ls)) return false;
    return ls.baud == cfg_.baud && ls.stop == cfg_.stop;
}

bool SimPort::baud_matches_locked() const {
    if (master_ < 0) return false;
    LineSettings ls;
    if (!read_line_settings(master_, ls)) return false;
    return ls.baud == cfg_.baud;
}

void SimPort::run() {
    bool detached = false;  // the last poll/read said nobody has the slave open
    std::unique_lock lk(mu_);
    while (!stopping_) {
        const int fd = master_;
        const uint64_t generation = generation_;
        const auto now = Clock::now();
        int timeout = -1;
        auto consider = [&](int t) {
            if (timeout < 0 || t < timeout) timeout = t;
        };
        if (blocked_) consider(static_cast<int>(kWriteRetry.count()));
        else if (!queue_.empty()) consider(poll_timeout(now, head_due_));
        if (bg_remaining_ > 0 && queue_.size() < kQueueCap) consider(poll_timeout(now, bg_next_));
        const bool watch = fd >= 0 && !detached;
        const bool blocked = blocked_;
        if (fd >= 0 && detached) consider(static_cast<int>(kDetachedRecheck.count()));
        lk.unlock();

        const short events = static_cast<short>(POLLIN | (blocked ? POLLOUT : 0));
        struct pollfd p[2] = {{wake_rd_, POLLIN, 0}, {watch ? fd : -1, events, 0}};
        const int r = ::poll(p, 2, timeout);
        if (r < 0 && errno != EINTR) {
            std::perror("quorvia-sim: poll");
            std::this_thread::sleep_for(kDetachedRecheck);
        }
        if (r > 0 && (p[0].revents & POLLIN)) {
            char drain[64];
            while (::read(wake_rd_, drain, sizeof drain) > 0) {
            }
        }

        lk.lock();
        detached = false;
        if (stopping_) break;
        // The master may have been closed (unplug) or replaced (replug) while
        // we polled; only touch it if it is still the same one.
        if (watch && r > 0 && master_ == fd && generation_ == generation) {
            const short re = p[1].revents;
            if (re & POLLIN) {
                char buf[4096];
                for (int i = 0; i < 16; ++i) {
                    const ssize_t n = ::read(fd, buf, sizeof buf);
                    if (n > 0) {
                        on_input_locked(buf, static_cast<size_t>(n));
                        continue;
                    }
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0 && errno == EAGAIN) break;
                    // 0 or EIO: the slave side is closed.
                    detached = true;
                    break;
                }
            } else if (re & (POLLHUP | POLLERR)) {
                detached = true;
            }
        }
        pump_locked();
        // Emit what is due, a bounded number at a time so that control
        // commands for this port get the lock in between.
        for (int burst = 0; burst < 64 && bg_remaining_ > 0 && queue_.size() < kQueueCap &&
                            Clock::now() >= bg_next_;
             ++burst) {
            emit_one_locked();
            --bg_remaining_;
            bg_next_ += bg_interval_;
            // After a stall, carry on from now instead of bursting the backlog.
            const auto now2 = Clock::now();
            if (bg_next_ + bg_interval_ < now2) bg_next_ = now2;
        }
    }
}

void SimPort::on_input_locked(const char* data, size_t n) {
    rx_ += n;
    // The host may change its line settings at any time; check them for each
    // piece of input.
    const bool line_ok = line_matches_locked();
    const bool baud_ok = line_ok || baud_matches_locked();
    units_.clear();
    parser_.feed(std::string_view(data, n), Clock::now(), units_);
    for (const Unit& unit : units_) handle_unit_locked(unit, line_ok, baud_ok);
}

void SimPort::handle_unit_locked(const Unit& unit, bool line_ok, bool baud_ok) {
    if (unit.kind != Unit::Kind::probe) {
        ++frames_;
        last_frame_ = unit.bytes;
    }
    // A lone byte and the one-byte answer survive a stop-bit mismatch (an extra
    // stop bit is just a longer idle line); bytes sent back to back do not, so
    // frames need the stop bits to match as well.
    const bool understood = unit.kind == Unit::Kind::probe ? baud_ok : line_ok;
    if (!understood || mode_ == Mode::silent) return;
    if (mode_ == Mode::garbage) {
        if (unit.kind != Unit::Kind::probe || cfg_.probe) send_reply_locked(garbage_locked(), Payload::reply);
        return;
    }
    switch (unit.kind) {
        case Unit::Kind::probe:
            if (cfg_.probe) send_reply_locked("!", Payload::probe_answer);
            return;
        case Unit::Kind::detect_query:
            send_reply_locked(cfg_.old ? std::string("!") : kDetectAnswer, Payload::reply);
            return;
        case Unit::Kind::old_query:
            if (cfg_.old) send_reply_locked(old_protocol_answer(), Payload::reply);
            return;
        case Unit::Kind::old_frame:
            return;
        case Unit::Kind::command_frame: {
            // An older scanner does not understand current frames (except for
            // the detection query, handled above).
            if (cfg_.old) return;
            ImageAnswer image = answer_image_command(pictures_, picture_fault_, scripted_status(scripts_, unit.body),
                                                     unit.frame_kind, unit.body);
            if (image.handled) {
                for (size_t i = 0; i < image.pieces.size(); ++i) {
                    if (i == 0) send_reply_locked(std::move(image.pieces[i].bytes), Payload::reply);
                    else enqueue_locked(std::move(image.pieces[i].bytes), image.pieces[i].delay, Payload::reply);
                }
                return;
            }
            FrameAnswer answer = answer_command_frame(cfg_, scripts_, unit.frame_kind, unit.body);
            if (answer.send) send_reply_locked(std::move(answer.bytes), Payload::reply);
            for (int i = 0; i < answer.trigger_scans; ++i) emit_one_locked();
            return;
        }
    }
}

void SimPort::send_reply_locked(std::string bytes, Payload payload) {
    if (cut_) {
        if (bytes.size() > *cut_) bytes.resize(*cut_);
        cut_.reset();
    }
    if (split_) {
        const auto [n, delay] = *split_;
        split_.reset();
        if (n < bytes.size()) {
            enqueue_locked(bytes.substr(0, n), milliseconds(0), Payload::reply);
            enqueue_locked(bytes.substr(n), delay, payload);
            return;
        }
    }
    if (!bytes.empty()) enqueue_locked(std::move(bytes), milliseconds(0), payload);
}

void SimPort::emit_one_locked() {
    char text[64];
    const int len = std::snprintf(text, sizeof text, "BC%d-%08" PRIu64 "\r\n", cfg_.com, ++seq_);
    std::string bytes(text, static_cast<size_t>(len));
    // A scanner sending at other line settings than the host's is never
    // understood: the barcode is lost.
    if (!line_matches_locked()) {
        dropped_ += bytes.size();
        return;
    }
    enqueue_locked(std::move(bytes), milliseconds(0), Payload::barcode);
}

void SimPort::enqueue_locked(std::string bytes, milliseconds delay, Payload payload) {
    if (queue_.empty()) head_due_ = Clock::now() + delay;
    queue_.push_back(Pending{std::move(bytes), delay, payload});
    ++enqueued_;
    pump_locked();
    if (!queue_.empty()) wake();  // the thread must learn the new deadline
}

void SimPort::finish_head_locked(size_t unwritten) {
    const Pending& item = queue_.front();
    dropped_ += unwritten;
    if (unwritten == 0) {
        if (item.payload == Payload::barcode) ++emitted_;
        if (item.payload == Payload::probe_answer) ++probes_;
    }
    queue_.pop_front();
    ++finished_;
    blocked_ = false;
    if (!queue_.empty()) head_due_ = Clock::now() + queue_.front().delay;
    progress_.notify_all();
}

// Writes queued items in order as far as the pty takes them, without waiting.
void SimPort::pump_locked() {
    while (!queue_.empty() && Clock::now() >= head_due_) {
        Pending& item = queue_.front();
        const size_t left = item.bytes.size() - item.offset;
        if (!attached_locked()) {
            finish_head_locked(left);
            continue;
        }
        if (stalled_ && item.offset == 0) {
            struct pollfd p {master_, POLLOUT, 0};
            if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) {
                finish_head_locked(left);
                continue;
            }
            stalled_ = false;
        }
        const ssize_t w = ::write(master_, item.bytes.data() + item.offset, left);
        if (w > 0) {
            item.offset += static_cast<size_t>(w);
            blocked_ = false;
            if (item.offset == item.bytes.size()) finish_head_locked(0);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            const auto now = Clock::now();
            if (!blocked_) {
                blocked_ = true;
                blocked_since_ = now;
                return;  // the port thread retries shortly
            }
            if (now - blocked_since_ < write_limit_) return;
            stalled_ = true;
        }
        finish_head_locked(left);  // timed out or failed: the rest is lost
    }
}

std::string SimPort::garbage_locked() {
    std::uniform_int_distribution<int> length(1, 24);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out;
    const int n = length(rng_);
    while (static_cast<int>(out.size()) < n) {
        const int b = byte(rng_);
        if (b == 0x02 || b == '!') continue;  // neither a frame start nor a probe answer
        out += static_cast<char>(b);
    }
    return out;
}

// ---------------------------------------------------------------- control

std::string SimPort::emit(uint64_t count, std::optional<uint64_t> interval_ms) {
    std::unique_lock lk(mu_);
    if (master_ < 0) return "ERR port unplugged";
    if (interval_ms) {
        // In the background: the port thread emits them on schedule.
        if (bg_remaining_ == 0) bg_next_ = Clock::now();
        bg_remaining_ += count;
        bg_interval_ = milliseconds(*interval_ms);
        wake();
        return "OK";
    }
    // All now, one write each: feed the queue as fast as the host takes them
    // (the port thread retries what does not fit), then wait for the last one
    // to be written or given up.
    const uint64_t generation = generation_;
    auto gone = [&] { return stopping_ || generation_ != generation; };
    uint64_t last_ticket = 0;
    for (uint64_t i = 0; i < count; ++i) {
        progress_.wait(lk, [&] { return gone() || queue_.size() < kQueueCap; });
        if (gone()) break;
        emit_one_locked();
        last_ticket = enqueued_;
    }
    progress_.wait(lk, [&] { return gone() || finished_ >= last_ticket; });
    return "OK";
}

std::string SimPort::emit_raw(const std::string& bytes) {
    std::lock_guard lk(mu_);
    if (master_ < 0) return "ERR port unplugged";
    if (!line_matches_locked()) {
        dropped_ += bytes.size();
        return "OK";
    }
    enqueue_locked(bytes, milliseconds(0), Payload::raw);
    return "OK";
}

std::string SimPort::set_status(const std::string& word, Status status) {
    std::lock_guard lk(mu_);
    scripts_[word] = status;
    return "OK";
}

std::string SimPort::set_mode(Mode mode) {
    std::lock_guard lk(mu_);
    mode_ = mode;
    return "OK";
}

std::string SimPort::cut(size_t n) {
    std::lock_guard lk(mu_);
    cut_ = n;
    return "OK";
}

std::string SimPort::split(size_t n, uint64_t delay_ms) {
    std::lock_guard lk(mu_);
    split_ = std::make_pair(n, milliseconds(delay_ms));
    return "OK";
}

std::string SimPort::unplug() {
    std::lock_guard lk(mu_);
    if (master_ < 0) return "ERR port already unplugged";
    close_pty_locked();
    wake();
    return "OK";
}

std::string SimPort::replug() {
    std::lock_guard lk(mu_);
    close_pty_locked();
    std::string error;
    if (!create_pty_locked(error) || !point_link_locked(error)) return "ERR " + error;
    wake();
    return "OK";
}

std::string SimPort::hold() {
    std::lock_guard lk(mu_);
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

std::string SimPort::release() {
    std::lock_guard lk(mu_);
    if (held_fd_ < 0) return "ERR not held";
    ::close(held_fd_);
    held_fd_ = -1;
    return "OK";
}

std::string SimPort::stats() {
    std::lock_guard lk(mu_);
    char text[256];
    std::snprintf(text, sizeof text,
                  "OK rx=%" PRIu64 " frames=%" PRIu64 " probes=%" PRIu64 " emitted=%" PRIu64 " dropped=%" PRIu64,
                  rx_, frames_, probes_, emitted_, dropped_);
    return text;
}

std::string SimPort::last() {
    std::lock_guard lk(mu_);
    if (last_frame_.empty()) return "OK";
    return "OK " + to_hex(last_frame_);
}

std::string SimPort::set_write_limit(uint64_t ms) {
    std::lock_guard lk(mu_);
    write_limit_ = milliseconds(ms);
    stalled_ = false;
    return "OK";
}

std::string SimPort::set_picture(const std::vector<std::string>& settings) {
    std::lock_guard lk(mu_);
    PictureConfig next = pictures_;
    std::string error;
    for (const std::string& setting : settings) {
        if (!apply_picture_setting(next, setting, error)) return "ERR " + error;
    }
    pictures_ = std::move(next);
    return "OK";
}

std::string SimPort::set_picture_fault(const std::vector<std::string>& words) {
    std::lock_guard lk(mu_);
    std::string error;
    if (!parse_picture_fault(words, picture_fault_, error)) return "ERR " + error;
    return "OK";
}

std::string SimPort::settings() {
    std::lock_guard lk(mu_);
    if (master_ < 0) return "ERR port unplugged";
    LineSettings ls;
    if (!read_line_settings(master_, ls)) return "ERR " + errno_text("tcgetattr");
    return "OK baud=" + std::to_string(ls.baud) + " stop=" + std::to_string(ls.stop);
}

}  // namespace qvsim

#include "sim_port.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace qvsim {

namespace {

using std::chrono::milliseconds;

// Re-check period while nobody has a pty's slave open (poll would report
// POLLHUP at once, forever).
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
    : cfg_(std::move(cfg)), link_path_(std::move(link_path)), link_(cfg_.hid_fd >= 0 || cfg_.raw_fd >= 0 ? make_node_link(cfg_) : make_pty_link(cfg_, link_path_)),
      mode_(cfg_.mode), settings_(SettingsTable::make(16, static_cast<uint64_t>(cfg_.com))),
      rng_(std::random_device{}()) {}

SimPort::SimPort(PortConfig cfg, std::unique_ptr<SimLink> link)
    : cfg_(std::move(cfg)), link_(std::move(link)), mode_(cfg_.mode),
      settings_(SettingsTable::make(16, static_cast<uint64_t>(cfg_.com))), rng_(std::random_device{}()) {}

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
        if (!link_->open(error)) return false;
        ++generation_;
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
    close_link_locked();
    link_->finish();
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

void SimPort::drop_host_locked() {
    for (const auto& item : queue_) dropped_ += item.bytes.size() - item.offset;
    finished_ += queue_.size();
    queue_.clear();
    blocked_ = false;
    stalled_ = false;
    progress_.notify_all();
    parser_.reset();
    hid_reader_.reset();
    decode_.reset_transfer();
    ++generation_;
}

void SimPort::close_link_locked() {
    drop_host_locked();
    cut_.reset();
    split_.reset();
    link_->close();
}

uint16_t SimPort::tcp_port() {
    std::lock_guard lk(mu_);
    return tcp_link_port(*link_);
}

bool SimPort::attached_locked() const { return link_->attached(); }

bool SimPort::line_matches_locked() const { return link_->line_matches(true); }

bool SimPort::baud_matches_locked() const { return link_->line_matches(false); }

void SimPort::run() {
    bool detached = false;  // the last poll/read said nobody has the pty's slave open
    std::unique_lock lk(mu_);
    while (!stopping_) {
        // A control command that changes the link's descriptors runs while
        // the thread is out of poll().
        progress_.wait(lk, [&] { return pausers_ == 0 || stopping_; });
        if (stopping_) break;
        const int fd = link_->data_fd();
        const int event_fd = link_->event_fd();
        const bool reading = link_->reading();
        const uint64_t generation = generation_;
        const auto now = Clock::now();
        int timeout = -1;
        auto consider = [&](int t) {
            if (timeout < 0 || t < timeout) timeout = t;
        };
        if (blocked_) consider(static_cast<int>(kWriteRetry.count()));
        else if (!queue_.empty()) consider(poll_timeout(now, head_due_));
        if (bg_remaining_ > 0 && queue_.size() < kQueueCap) consider(poll_timeout(now, bg_next_));
        if (link_->timer_ms() >= 0) consider(link_->timer_ms());
        if (const auto due = loader_due_locked()) consider(poll_timeout(now, *due));
        const bool blocked = blocked_;
        const short events = static_cast<short>((reading ? POLLIN : 0) | (blocked ? POLLOUT : 0));
        const bool watch = fd >= 0 && !detached && events != 0;
        if (fd >= 0 && detached) consider(static_cast<int>(kDetachedRecheck.count()));
        in_poll_ = true;
        lk.unlock();

        struct pollfd p[3] = {{wake_rd_, POLLIN, 0}, {watch ? fd : -1, events, 0}, {event_fd, POLLIN, 0}};
        const int r = ::poll(p, 3, timeout);
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
        in_poll_ = false;
        progress_.notify_all();
        detached = false;
        if (stopping_) break;
        // The link may have been closed (unplug) or replaced (replug, a new
        // connection) while we polled; only touch it if it is still the same one.
        bool hangup = false;
        if (watch && r > 0 && link_->data_fd() == fd && generation_ == generation) {
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
                    // 0, EIO or a reset: the host side is closed.
                    hangup = true;
                    break;
                }
            } else if (re & (POLLHUP | POLLERR)) {
                hangup = true;
            }
        }
        if (hangup) {
            if (link_->on_hangup()) {
                drop_host_locked();
            } else {
                detached = true;
            }
        }
        if (event_fd >= 0 && r > 0 && (p[2].revents & POLLIN) && link_->event_fd() == event_fd && link_->on_event()) {
            drop_host_locked();
        }
        if (link_->timer_ms() >= 0 && link_->on_timer()) drop_host_locked();
        run_loader_timers_locked();
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
    // A scanner about to drop off the line (it restarts into or out of its
    // loader, or re-enumerates) hears nothing more.
    if (drop_due_) return;
    // A HID port receives output reports: their payload is what the scanner reads.
    std::string report_payload;
    std::string_view input(data, n);
    if (hid()) {
        hid_reader_.feed(input, report_payload);
        input = report_payload;
    }
    // The host may change its line settings at any time; check them for each
    // piece of input.
    if (loader_.active()) {
        // The boot loader listens at its own rate, whatever the application's
        // is; behind a USB device or a TCP connection there is no line and
        // every byte is understood.
        LineSettings ls;
        const bool known = link_->host_line(ls);
        const bool lineless = (node() && !off_node_) || tcp_link_port(*link_) != 0;
        loader_output_locked(loader_.feed(input, known      ? std::optional<uint32_t>(ls.baud)
                                                 : lineless ? std::nullopt
                                                            : std::optional<uint32_t>(0u),
                                          ls.stop, Clock::now()));
        return;
    }
    const bool line_ok = line_matches_locked();
    const bool baud_ok = line_ok || baud_matches_locked();
    units_.clear();
    const auto now = Clock::now();
    if (!line_ok) {
        parser_.feed(input, now, units_);
        for (const Unit& unit : units_) {
            if (loader_.active()) break;  // a switch frame started the loader
            handle_unit_locked(unit, line_ok, baud_ok);
        }
        return;
    }
    // The decode upload's messages and picture bytes go to the decode side
    // first; what is no part of that exchange reaches the command parser.
    pieces_.clear();
    decode_.feed(input, now, pieces_);
    for (DecodePiece& piece : pieces_) {
        if (piece.reply) {
            if (mode_ == Mode::normal) send_reply_locked(std::move(piece.bytes), Payload::reply);
            if (mode_ == Mode::garbage) send_reply_locked(garbage_locked(), Payload::reply);
            continue;
        }
        units_.clear();
        parser_.feed(piece.bytes, now, units_);
        for (const Unit& unit : units_) {
            if (loader_.active()) break;  // a switch frame started the loader
            handle_unit_locked(unit, line_ok, baud_ok);
        }
    }
}

void SimPort::handle_unit_locked(const Unit& unit, bool line_ok, bool baud_ok) {
    if (unit.kind != Unit::Kind::probe) {
        ++frames_;
        last_frame_ = unit.bytes;
        if (frame_log_.size() == kFrameLogCap) frame_log_.pop_front();
        frame_log_.push_back(unit.bytes);
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
            take_switch_locked(unit);
            return;
        case Unit::Kind::trigger:
            emit_one_locked();
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
            FrameAnswer answer;
            if (!answer_settings_frame(settings_, scripts_, unit.frame_kind, unit.body, answer))
                answer = answer_command_frame(cfg_, scripts_, unit.frame_kind, unit.body);
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
    // understood, and one running its boot loader does not scan: the barcode
    // is lost.
    if (!line_matches_locked() || loader_.active()) {
        dropped_ += bytes.size();
        return;
    }
    enqueue_locked(std::move(bytes), milliseconds(0), Payload::barcode);
}

void SimPort::enqueue_locked(std::string bytes, milliseconds delay, Payload payload) {
    if (hid()) bytes = hid_input_reports(bytes);
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
            struct pollfd p {link_->data_fd(), POLLOUT, 0};
            if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) {
                finish_head_locked(left);
                continue;
            }
            stalled_ = false;
        }
        const ssize_t w = ::write(link_->data_fd(), item.bytes.data() + item.offset, left);
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

// ---------------------------------------------------------------- firmware loader

void SimPort::take_switch_locked(const Unit& unit) {
    const auto sw = parse_switch_frame(unit.bytes);
    if (!sw) return;
    loader_.note(switch_frame_name(*sw));
    if (loader_script_.silent.count(switch_frame_name(*sw)) != 0) return;
    send_reply_locked(std::string(1, '\x06'), Payload::reply);
    parser_.reset();
    if (*sw == SwitchFrame::block) {
        // The block loader takes the extra blocks at the rate it was asked at.
        LineSettings ls;
        loader_.enter(link_->host_line(ls) ? ls.baud : cfg_.baud, true);
        main_loader_ = false;
        return;
    }
    loader_.enter(9600, false);
    main_loader_ = true;
    // A scanner behind a given device that drops off for its loader comes
    // back as a serial port only when one is named; otherwise its comeback is
    // the test's to play (a new device).
    if (reenum_ms_) leave_line_locked(!loader_link_.empty() ? loader_link_ : node() ? std::string() : link_path_, true);
}

void SimPort::loader_output_locked(const LoaderOutput& out) {
    if (!out.reply.empty()) send_reply_locked(out.reply, Payload::reply);
    if (out.drop) {
        // Off the line for good (until `replug`).
        close_link_locked();
        return;
    }
    if (out.exit) {
        parser_.reset();
        // A scanner behind a given device leaves for good: its comeback as
        // a device is the test's to play.
        if (main_loader_ && reenum_ms_) leave_line_locked(node() ? std::string() : link_path_, false);
        main_loader_ = false;
    }
}

void SimPort::leave_line_locked(const std::string& back_link, bool /*to_loader*/) {
    // The answer already queued goes out first; then the scanner drops off
    // the line and comes back as a new device after the scripted time.
    const auto now = Clock::now();
    drop_due_ = now + milliseconds(50);
    back_due_ = *drop_due_ + milliseconds(*reenum_ms_);
    back_link_ = back_link;
    wake();
}

std::optional<Clock::time_point> SimPort::loader_due_locked() const {
    std::optional<Clock::time_point> due = loader_.deadline();
    for (const auto& t : {drop_due_, back_due_}) {
        if (t && (!due || *t < *due)) due = t;
    }
    return due;
}

bool SimPort::repoint_locked(const std::string& where, std::string& error) {
    if (node() && !off_node_) {
        // A USB scanner that re-enumerates as a virtual COM port: from now
        // on a pty at `where`.
        link_ = make_pty_link(cfg_, where);
        off_node_ = true;
    }
    link_->move_to(where);
    if (!link_->open(error)) return false;
    ++generation_;
    return true;
}

void SimPort::run_loader_timers_locked() {
    const auto now = Clock::now();
    if (loader_.deadline() && now >= *loader_.deadline()) loader_output_locked(loader_.poll(now));
    if (drop_due_ && now >= *drop_due_) {
        // A device that re-enumerates is gone meanwhile: its node too (a
        // dangling link could point to a pty someone else opens meanwhile).
        drop_due_.reset();
        pump_locked();
        close_link_locked();
        link_->finish();
    }
    if (back_due_ && !drop_due_ && now >= *back_due_) {
        back_due_.reset();
        // A scanner behind a given device with no port named stays gone.
        if (node() && back_link_.empty()) return;
        std::string error;
        if (!repoint_locked(back_link_, error)) std::fprintf(stderr, "quorvia-sim: comeback: %s\n", error.c_str());
    }
}

std::string SimPort::loader_control(const std::vector<std::string>& a) {
    std::lock_guard lk(mu_);
    // a[0] = "loader", a[1] = com, a[2] = what
    const std::string& what = a[2];
    auto arg = [&](size_t i) -> const std::string& {
        static const std::string none;
        return i < a.size() ? a[i] : none;
    };
    uint64_t n = 0;
    if (what == "enter") {
        uint64_t baud = cfg_.baud;
        if (a.size() > 3 && !parse_uint(arg(3), 100000000, baud)) return "ERR bad baud";
        // A scanner that already runs its loader (an update broke off).
        parser_.reset();
        loader_.enter(static_cast<uint32_t>(baud), false);
        main_loader_ = true;
        return "OK";
    }
    if (what == "refuse" && a.size() >= 5 && arg(4).size() == 1) {
        LoaderScript::Refusal r;
        r.result = arg(4)[0];
        if (a.size() > 5) {
            if (!parse_uint(arg(5), 1000000, n)) return "ERR bad count";
            r.remaining = static_cast<int>(n);
        }
        loader_script_.refuse[arg(3)] = r;
        return "OK";
    }
    if ((what == "silent" || what == "dropat") && a.size() == 4) {
        (what == "silent" ? loader_script_.silent : loader_script_.drop_at).insert(arg(3));
        return "OK";
    }
    if (what == "start" && a.size() == 4) {
        loader_script_.start_answers = arg(3);
        return "OK";
    }
    if (what == "retries" && a.size() == 4 && parse_uint(arg(3), 1000000, n)) {
        loader_script_.retries = static_cast<int>(n);
        return "OK";
    }
    if (what == "written" && a.size() == 4) {
        std::string byte;
        if (arg(3).size() == 1) byte = arg(3);
        else if (!from_hex(arg(3), byte) || byte.size() != 1) return "ERR written takes one character or two hex digits";
        loader_script_.written = byte[0];
        return "OK";
    }
    if (what == "reenum" && (a.size() == 4 || a.size() == 5) && parse_uint(arg(3), 600000, n)) {
        reenum_ms_ = n;
        loader_link_.clear();
        if (a.size() == 5) {
            int com = 0;
            if (!parse_com(arg(4), com)) return "ERR bad com number";
            loader_link_ = link_path_.substr(0, link_path_.rfind('/') + 1) + "com" + std::to_string(com);
        }
        return "OK";
    }
    if (what == "log" && a.size() == 3) {
        std::string text;
        for (const std::string& e : loader_.log()) text += (text.empty() ? "" : "|") + e;
        return "OK " + text;
    }
    if (what == "blocks" && a.size() == 3) return "OK " + std::to_string(loader_.blocks().size());
    if (what == "block" && a.size() == 5 && parse_uint(arg(3), 1000, n)) {
        if (n >= loader_.blocks().size()) return "ERR no such block";
        const ReceivedBlock& b = loader_.blocks()[n];
        std::ofstream out(arg(4), std::ios::binary | std::ios::trunc);
        out.write(b.data.data(), static_cast<std::streamsize>(b.data.size()));
        if (!out) return "ERR cannot write " + arg(4);
        return "OK type=" + b.file_type + " length=" + std::to_string(b.length) +
               " framesize=" + std::to_string(b.frame_size) + " frames=" + std::to_string(b.frames);
    }
    if (what == "state" && a.size() == 3) {
        const char* state = !loader_.active() ? "app" : loader_.extra() ? "extra" : "loader";
        return std::string("OK ") + state + " speed=" + std::to_string(loader_.speed()) +
               " link=" + link_->where().substr(link_->where().rfind('/') + 1) + (link_->present() ? "" : " off");
    }
    return "ERR usage: loader <com> enter [baud] | refuse <prefix> <char> [count] | silent <what> | "
           "dropat <what> | start <answers> | retries <n> | written <char> | reenum <ms> [com] | log | "
           "blocks | block <i> <file> | state";
}

// ---------------------------------------------------------------- control

std::string SimPort::emit(uint64_t count, std::optional<uint64_t> interval_ms) {
    std::unique_lock lk(mu_);
    if (!link_->present()) return "ERR port unplugged";
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
    if (!link_->present()) return "ERR port unplugged";
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

SimPort::Pause::Pause(SimPort& port, std::unique_lock<std::mutex>& lk) : port_(port) {
    ++port_.pausers_;
    port_.wake();
    port_.progress_.wait(lk, [&] { return !port_.in_poll_; });
}

SimPort::Pause::~Pause() {
    --port_.pausers_;
    port_.progress_.notify_all();
}

std::string SimPort::unplug(bool gone) {
    std::unique_lock lk(mu_);
    if (!link_->present()) return "ERR port already unplugged";
    const Pause pause(*this, lk);
    close_link_locked();
    if (gone) link_->finish();
    wake();
    return "OK";
}

std::string SimPort::replug() {
    std::unique_lock lk(mu_);
    if (node()) return "ERR a port behind a given device cannot be plugged in again";
    const Pause pause(*this, lk);
    close_link_locked();
    std::string error;
    if (!link_->open(error)) return "ERR " + error;
    ++generation_;
    wake();
    return "OK";
}

std::string SimPort::hold() {
    std::lock_guard lk(mu_);
    return link_->hold();
}

std::string SimPort::release() {
    std::lock_guard lk(mu_);
    return link_->release();
}

std::string SimPort::link_command(const std::vector<std::string>& words) {
    std::unique_lock lk(mu_);
    const Pause pause(*this, lk);
    bool changed = false;
    std::string reply = link_->command(words, &changed);
    if (changed) drop_host_locked();
    wake();
    return reply;
}

std::string SimPort::stats() {
    std::lock_guard lk(mu_);
    char text[256];
    std::snprintf(text, sizeof text,
                  "OK rx=%" PRIu64 " frames=%" PRIu64 " probes=%" PRIu64 " emitted=%" PRIu64 " dropped=%" PRIu64,
                  rx_, frames_, probes_, emitted_, dropped_);
    return text + link_->stats();
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
    return link_->settings();
}

std::string SimPort::table() {
    std::lock_guard lk(mu_);
    return "OK " + settings_.dump();
}

std::string SimPort::table_set(const std::string& name, const std::string& value) {
    std::lock_guard lk(mu_);
    settings_.put(name, value);
    return "OK";
}

std::string SimPort::table_fill(uint64_t generated, uint64_t seed, uint64_t width) {
    std::lock_guard lk(mu_);
    settings_ = SettingsTable::make(static_cast<size_t>(generated), seed, static_cast<size_t>(width));
    return "OK " + std::to_string(settings_.size());
}

std::string SimPort::frames() {
    std::lock_guard lk(mu_);
    std::string out = "OK";
    for (const std::string& f : frame_log_) out += " " + to_hex(f);
    frame_log_.clear();
    return out;
}

}  // namespace qvsim

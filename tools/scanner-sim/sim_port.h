// One simulated scanner behind its own pty.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"
#include "sim_config.h"
#include "sim_decode.h"
#include "sim_settings.h"
#include "sim_link.h"
#include "sim_hid.h"
#include "sim_loader.h"
#include "sim_pictures.h"

namespace qvsim {

// The port owns its link (a pty, or a TCP listener for a network scanner, see
// sim_link.h) and a thread that reads what the host writes, answers it and
// runs timed output (background emission, the delayed half of a split reply).
// The device logic is the same whatever the link. Control commands come from
// the main thread; every piece of state is guarded by one mutex per port, so a
// busy port never holds up the others.
//
// Output while no host is attached is dropped instead of written: a pty would
// keep it and hand it to whoever opens the slave next, which no real cable
// does.
class SimPort {
public:
    // A scanner on a pty reached through the symlink `link_path`.
    SimPort(PortConfig cfg, std::string link_path);
    // A scanner on the given link.
    SimPort(PortConfig cfg, std::unique_ptr<SimLink> link);
    ~SimPort();
    SimPort(const SimPort&) = delete;
    SimPort& operator=(const SimPort&) = delete;

    // Creates the pty and the symlink and starts the thread.
    bool start(std::string& error);
    // Stops the thread, closes every fd and removes the symlink.
    void stop();

    const PortConfig& config() const { return cfg_; }
    const std::string& link_path() const { return link_path_; }
    // The TCP port of a network scanner's link, 0 for a pty.
    uint16_t tcp_port();

    // Control commands; each returns the reply line ("OK ..." or "ERR ...").
    std::string emit(uint64_t count, std::optional<uint64_t> interval_ms);
    std::string emit_raw(const std::string& bytes);
    std::string set_status(const std::string& word, Status status);
    std::string set_mode(Mode mode);
    std::string cut(size_t n);
    std::string split(size_t n, uint64_t delay_ms);
    // Hangs the host up; with `gone` the port's path goes away too (as a USB
    // adapter's device node does) until `replug`.
    std::string unplug(bool gone = false);
    std::string replug();
    std::string hold();
    std::string release();
    std::string stats();
    std::string last();
    std::string settings();
    std::string set_write_limit(uint64_t ms);
    // "decode <com> ..." (the words after the COM number): the decode upload's
    // expectation, answers and figures (sim_decode_control.cpp).
    std::string decode_command(const std::vector<std::string>& words);
    // The settings table: dump, set one setting (value given as hex), refill.
    std::string table();
    std::string table_set(const std::string& name, const std::string& value);
    std::string table_fill(uint64_t generated, uint64_t seed, uint64_t width);
    // Command frames received since the last call, oldest first (hex, space separated).
    std::string frames();
    // A command of the link itself (words after the port number).
    std::string link_command(const std::vector<std::string>& words);
    // `loader <com> ...`: the firmware loader's script and what it received.
    std::string loader_control(const std::vector<std::string>& args);
    // The camera: picture settings (see apply_picture_setting) and a fault of
    // the next picture reply (see parse_picture_fault).
    std::string set_picture(const std::vector<std::string>& settings);
    std::string set_picture_fault(const std::vector<std::string>& words);

private:
    // What a queued write is, for the counters.
    enum class Payload { reply, probe_answer, barcode, raw };
    struct Pending {
        std::string bytes;
        std::chrono::milliseconds delay;  // wait after the previous write went out
        Payload payload;
        size_t offset = 0;                // bytes of it already written
    };

    // Most items the queue holds before emission waits for the host to read.
    static constexpr size_t kQueueCap = 256;

    void run();
    void wake();
    // The link's descriptor changed or went away: what was under way with the
    // old host (queued output, a half-received frame, one-shot faults) ends.
    void drop_host_locked();
    void close_link_locked();
    // Keeps the port thread out of poll() for its life: a descriptor closed
    // while poll() watches it stays open (a listener keeps its port) until
    // poll() returns. Made with the port's lock held.
    class Pause {
    public:
        Pause(SimPort& port, std::unique_lock<std::mutex>& lk);
        ~Pause();

    private:
        SimPort& port_;
    };

    bool attached_locked() const;
    bool line_matches_locked() const;
    bool baud_matches_locked() const;
    void on_input_locked(const char* data, size_t n);
    void handle_unit_locked(const Unit& unit, bool line_ok, bool baud_ok);
    // Firmware loader: a switch frame the application takes, the loader's
    // output, and the scanner dropping off the line and coming back.
    void take_switch_locked(const Unit& unit);
    void loader_output_locked(const LoaderOutput& out);
    void leave_line_locked(const std::string& back_link, bool to_loader);
    std::optional<Clock::time_point> loader_due_locked() const;
    void run_loader_timers_locked();
    bool repoint_locked(const std::string& link, std::string& error);
    void send_reply_locked(std::string bytes, Payload payload);
    void emit_one_locked();
    void enqueue_locked(std::string bytes, std::chrono::milliseconds delay, Payload payload);
    void pump_locked();
    void finish_head_locked(size_t unwritten);
    std::string garbage_locked();

    const PortConfig cfg_;
    const std::string link_path_;

    // Nobody ever waits for the pty while holding mu_: writes are
    // non-blocking, and what does not fit stays at the head of queue_ for the
    // port thread to retry.
    mutable std::mutex mu_;
    std::condition_variable progress_;  // an item of queue_ was finished
    std::thread thread_;
    bool stopping_ = false;
    bool in_poll_ = false;  // the port thread is in poll() without the lock
    int pausers_ = 0;       // Pause objects alive
    int wake_rd_ = -1;
    int wake_wr_ = -1;

    std::unique_ptr<SimLink> link_;
    uint64_t generation_ = 0;  // bumped whenever the link's descriptor changes

    Mode mode_;
    std::map<std::string, Status> scripts_;
    std::optional<size_t> cut_;
    std::optional<std::pair<size_t, std::chrono::milliseconds>> split_;

    bool hid() const { return cfg_.hid_fd >= 0 && !off_node_; }
    bool node() const { return cfg_.hid_fd >= 0 || cfg_.raw_fd >= 0; }  // behind a given descriptor

    HidReportReader hid_reader_;  // HID ports: output reports -> payload
    PictureConfig pictures_;
    PictureFault picture_fault_;

    FrameParser parser_;
    std::vector<Unit> units_;
    DecodeDevice decode_;
    std::vector<DecodePiece> pieces_;
    std::deque<Pending> queue_;
    Clock::time_point head_due_{};
    uint64_t enqueued_ = 0;  // items ever queued
    uint64_t finished_ = 0;  // items ever written or dropped

    // The head of the queue waits for room in the pty since blocked_since_.
    // After write_limit_ without progress the host is taken as not reading:
    // the rest of that item is dropped, and later items are dropped whole,
    // without waiting, until poll() shows the pty writable again (the host
    // drained it). A stuck host costs one wait, not one per barcode.
    std::chrono::milliseconds write_limit_{2000};
    bool blocked_ = false;
    Clock::time_point blocked_since_{};
    bool stalled_ = false;

    uint64_t seq_ = 0;
    uint64_t bg_remaining_ = 0;
    std::chrono::milliseconds bg_interval_{0};
    Clock::time_point bg_next_{};

    uint64_t rx_ = 0;
    uint64_t frames_ = 0;
    uint64_t probes_ = 0;
    uint64_t emitted_ = 0;
    uint64_t dropped_ = 0;
    std::string last_frame_;
    std::deque<std::string> frame_log_;  // for frames(); at most kFrameLogCap
    static constexpr size_t kFrameLogCap = 4096;

    SettingsTable settings_;

    std::mt19937 rng_;

    // The firmware loader (active while the scanner runs it).
    LoaderScript loader_script_;
    SimLoader loader_{loader_script_};
    bool main_loader_ = false;          // the main-block loader runs (not the block loader)
    std::optional<uint64_t> reenum_ms_; // drops off the line when it enters or leaves the loader
    std::string loader_link_;           // where it comes back while in the loader ("" = its own link)
    std::optional<Clock::time_point> drop_due_;
    std::optional<Clock::time_point> back_due_;
    std::string back_link_;
    bool off_node_ = false;  // a port behind a given device now plays a pty (it re-enumerated as one)
};

}  // namespace qvsim

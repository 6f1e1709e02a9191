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
#include "sim_pictures.h"

namespace qvsim {

// The port owns a pty master and a thread that reads what the host writes on
// the slave, answers it and runs timed output (background emission, the delayed
// half of a split reply). Control commands come from the main thread; every
// piece of state is guarded by one mutex per port, so a busy port never holds
// up the others.
//
// The simulator keeps no slave fd of its own (except during `hold`): the host
// program must see its own open/close as it would on a real port, and a
// `unplug` must hang it up. The cost is that poll() on the master reports
// POLLHUP continuously while nobody has the slave open; the thread then
// re-checks every few milliseconds instead of spinning, and an EIO from a
// master read only means "nobody attached". Output for a slave nobody has
// open is dropped instead of written: the kernel would keep it and hand it to
// whoever opens the slave next, which no real cable does.
class SimPort {
public:
    SimPort(PortConfig cfg, std::string link_path);
    ~SimPort();
    SimPort(const SimPort&) = delete;
    SimPort& operator=(const SimPort&) = delete;

    // Creates the pty and the symlink and starts the thread.
    bool start(std::string& error);
    // Stops the thread, closes every fd and removes the symlink.
    void stop();

    const PortConfig& config() const { return cfg_; }
    const std::string& link_path() const { return link_path_; }

    // Control commands; each returns the reply line ("OK ..." or "ERR ...").
    std::string emit(uint64_t count, std::optional<uint64_t> interval_ms);
    std::string emit_raw(const std::string& bytes);
    std::string set_status(const std::string& word, Status status);
    std::string set_mode(Mode mode);
    std::string cut(size_t n);
    std::string split(size_t n, uint64_t delay_ms);
    std::string unplug();
    std::string replug();
    std::string hold();
    std::string release();
    std::string stats();
    std::string last();
    std::string settings();
    std::string set_write_limit(uint64_t ms);
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
    bool create_pty_locked(std::string& error);
    void close_pty_locked();
    bool point_link_locked(std::string& error);

    bool attached_locked() const;
    bool line_matches_locked() const;
    bool baud_matches_locked() const;
    void on_input_locked(const char* data, size_t n);
    void handle_unit_locked(const Unit& unit, bool line_ok, bool baud_ok);
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
    int wake_rd_ = -1;
    int wake_wr_ = -1;

    int master_ = -1;
    uint64_t generation_ = 0;  // bumped whenever master_ changes
    std::string slave_path_;
    bool link_made_ = false;
    int held_fd_ = -1;

    Mode mode_;
    std::map<std::string, Status> scripts_;
    std::optional<size_t> cut_;
    std::optional<std::pair<size_t, std::chrono::milliseconds>> split_;

    PictureConfig pictures_;
    PictureFault picture_fault_;

    FrameParser parser_;
    std::vector<Unit> units_;
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

    std::mt19937 rng_;
};

}  // namespace qvsim

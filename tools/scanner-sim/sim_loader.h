// Device side of the firmware loader protocol: the scanner's boot loader.
// Pure code, no I/O: bytes from the host go in, the answer bytes and events
// (a new line speed, the end of the loader, a drop off the line) come out.
// The port decides what to do with them, so the same loader can serve a
// scanner on a pty and, later, one on TCP (which has no line speed).
//
// What the loader does:
//   '?'                     -> '<'
//   '*' (after a speed change) -> '*'
//   a switch frame          -> 0x06
//   02 05 len text CRC-32   -> 02 05 00 01 <result> CRC-32; the result is '0'
//                              for an accepted command, 'C' for a bad CRC, '9'
//                              for an unknown command, '5' for a ">Start"
//                              whose length, frame size and frame count do not
//                              fit together
//   "#COMM:115200,8,0,1"    -> '0', then it listens at 115200 baud only
//   ">Start" (accepted)     -> it takes the announced data frames: 0x02, frame
//                              size bytes, CRC-32 big-endian; '*' for each,
//                              and after the last one '*' and '^' (written)
//   ">Erase" after a ">Start" answered '4' -> '0', then ". . ;"
//   "@Exit"                 -> '0', then the application runs again
// After a block has been written the loader of the main blocks listens at
// 9600 baud as well as at its rate (until "#COMM" sets it again); a loader
// that hears nothing for 500 ms after a written block restarts the
// application by itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qvsim {

using LoaderClock = std::chrono::steady_clock;

enum class SwitchFrame { update, upgrade, block };

// The switch frame the bytes are (7E 00 00 len "~upDate~" check, ...), if any.
std::optional<SwitchFrame> parse_switch_frame(std::string_view frame);
const char* switch_frame_name(SwitchFrame frame);

// What a test scripts: refusals, silences, the answers to ">Start" and
// ">Retry", the answer to a written block, and where the scanner drops off
// the line.
struct LoaderScript {
    struct Refusal {
        char result = '1';
        int remaining = -1;  // -1: every time
    };
    std::map<std::string, Refusal> refuse;  // command prefix -> result byte
    // Answered with nothing: command prefixes, "probe", "frame" (data frames),
    // "written" (the answer to a written block), and the switch frames by name
    // ("~upDate~", "~upGrade~", "~upBlock~").
    std::set<std::string> silent;
    std::string start_answers;  // result bytes of the next ">Start" exchanges, then '0'
    int retries = 0;            // '2' answers to ">Retry" before it is accepted
    char written = '^';         // answer to a written block
    std::set<std::string> drop_at;  // like `silent`, but the scanner drops off the line for good
};

// A block as the loader received it.
struct ReceivedBlock {
    std::string file_type;  // the argument of "!FileType:", e.g. "kern" or "flah:9990"
    uint32_t length = 0;
    uint32_t frame_size = 0;
    uint32_t frames = 0;
    std::string data;       // exactly `length` bytes
};

struct LoaderOutput {
    std::string reply;                // bytes to send now, in order
    std::optional<uint32_t> speed;    // the loader listens at this rate from now on
    bool exit = false;                // the loader ended: the application runs again
    bool drop = false;                // scripted: the scanner drops off the line
};

class SimLoader {
public:
    explicit SimLoader(const LoaderScript& script) : script_(script) {}

    // Starts the loader, listening at `speed` (0: no line). With `extra` it
    // takes the extra blocks (entered by the block switch).
    void enter(uint32_t speed, bool extra);
    bool active() const { return active_; }
    bool extra() const { return extra_; }
    uint32_t speed() const { return speed_; }

    // Bytes from the host. host_baud / host_stop describe the host's line when
    // the bytes came (nullopt: no line, everything is understood).
    LoaderOutput feed(std::string_view bytes, std::optional<uint32_t> host_baud, int host_stop,
                      LoaderClock::time_point now);

    // When the loader wants poll() called (its quiet time after a written block).
    std::optional<LoaderClock::time_point> deadline() const;
    LoaderOutput poll(LoaderClock::time_point now);

    // What the port itself noted (switch frames the application took).
    void note(std::string text) { log_.push_back(std::move(text)); }
    const std::vector<std::string>& log() const { return log_; }
    const std::vector<ReceivedBlock>& blocks() const { return blocks_; }
    void clear_history();

    static constexpr std::chrono::milliseconds kQuietExit{500};

private:
    enum class State { idle, frame_head, frame_body, switch_head, switch_body, data };
    void step(uint8_t c, LoaderOutput& out);
    void command(const std::string& text, LoaderOutput& out);
    void data_frame(LoaderOutput& out);
    bool scripted_silent(const std::string& what) const;
    bool scripted_drop(const std::string& what, LoaderOutput& out);
    std::string reply_frame(char result) const;
    void leave(LoaderOutput& out);

    const LoaderScript& script_;
    bool active_ = false;
    bool extra_ = false;
    uint32_t speed_ = 0;
    bool also_9600_ = false;  // after a written block: 9600 baud is understood too
    bool dropped_ = false;

    State state_ = State::idle;
    std::string buf_;
    size_t need_ = 0;

    // Parameters of the block being received.
    uint32_t data_lens_ = 0;
    std::string file_type_;
    uint32_t frame_size_ = 0;
    uint32_t frames_ = 0;
    char last_start_ = '0';
    size_t start_index_ = 0;
    int retries_left_ = 0;
    uint32_t frames_received_ = 0;
    std::string data_;

    LoaderClock::time_point now_{};
    std::optional<LoaderClock::time_point> quiet_since_;  // a block was written; nothing came since
    std::vector<std::string> log_;
    std::vector<ReceivedBlock> blocks_;
    std::map<std::string, int> refusals_used_;
};

// CRC-32 as the loader checks it (IEEE 802.3).
uint32_t loader_crc32(std::string_view bytes, uint32_t crc = 0);

}  // namespace qvsim

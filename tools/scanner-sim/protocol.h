// Device side of the scanner serial protocol: splits the byte stream coming
// from the host into probes and frames, and builds the answers to them.
// Pure code, no I/O; the port decides whether an answer actually goes out.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim_config.h"

namespace qvsim {

using Clock = std::chrono::steady_clock;

// Framed detection query and the answer of a current scanner.
extern const std::string kDetectQuery;
extern const std::string kDetectAnswer;
// Query of the older protocol.
extern const std::string kOldQuery;

// The answer of an older scanner to kOldQuery: 02 00, a big-endian 16-bit
// value V, then V+1 payload bytes.
std::string old_protocol_answer();

struct Unit {
    enum class Kind {
        probe,          // a lone '?' outside any frame
        detect_query,   // exactly kDetectQuery
        command_frame,  // 7E 01 "0000" K BODY 3B 03 (any other body), or 7E 01 "0000" K 03
        old_query,      // exactly kOldQuery
        old_frame,      // another complete older-protocol frame
        trigger,        // 01 'T' 04 outside any frame: the network trigger of one read
    };
    Kind kind = Kind::probe;
    std::string bytes;  // the complete frame as received (empty for probes)
    char frame_kind = '@';
    std::string body;   // command_frame only: the text between K and 3B 03
};

class FrameParser {
public:
    // A partial frame is dropped when the next byte comes later than this:
    // a host that gave up on a frame half way must not make the scanner swallow
    // what it sends next.
    static constexpr std::chrono::milliseconds kInterByteLimit{1000};
    static constexpr size_t kMaxBody = 64 * 1024;
    static constexpr size_t kMaxOldLength = 4096;

    void feed(std::string_view data, Clock::time_point now, std::vector<Unit>& out);
    void reset();

private:
    enum class State { idle, start, header, body, old_length, old_body, trigger };
    void step(char c, std::vector<Unit>& out);

    State state_ = State::idle;
    std::string buf_;
    size_t old_remaining_ = 0;
    Clock::time_point last_byte_{};
};

// Answer of a current scanner to a command frame.
struct FrameAnswer {
    bool send = false;        // a response frame goes out
    std::string bytes;        // the response frame when `send`
    int trigger_scans = 0;    // number of SCNTRG1 triggers: each emits a barcode
};

// The commands of a frame body: its non-empty pieces between ';'.
std::vector<std::string_view> split_commands(std::string_view body);

// Longest scripted command word that prefixes `command` decides its status; ACK otherwise.
Status scripted_status(const std::map<std::string, Status>& scripts, std::string_view command);

FrameAnswer answer_command_frame(const PortConfig& cfg, const std::map<std::string, Status>& scripts,
                                 char frame_kind, std::string_view body);

}  // namespace qvsim

// Device side of the decode upload: the scanner takes an announced picture in
// raw chunks, checks it against the picture it expects, and answers the
// result-ready, fetch-result and fetch-time queries. Pure code, no I/O: bytes
// from the host go in, reply bytes and the bytes that are not part of the
// exchange come out.
//
// Messages from the host (numbers little-endian):
//   1B 99 01 L(4) W(2) H(2)   announce: L picture bytes follow, W × H = L
//   <L bytes>                 the picture (any byte values)
//   1B 99 02                  result ready?   -> 4 bytes, not all zero when a result is ready
//   06                        fetch result    -> the decoded text (after an upload)
//   1B 99 04                  fetch time      -> the decoding time as 4 bytes
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvsim {

// The picture a scanner expects: what it must be announced with and receive.
struct DecodeExpectation {
    uint32_t width = 0;
    uint32_t height = 0;  // the announced (upload) height
    std::string bytes;
};

// Works out, from the bytes of a bitmap file, what a host must send for it in
// `mode` (1: grey rows, 2: YUV 4:2:0 for a 24-bit file, grey rows for an
// 8-bit one). Grey rows are width bytes each, top row first; a 24-bit pixel
// becomes int(0.587 G + 0.299 R + 0.114 B) in grey. YUV is the Y plane (top
// row first) and then the Cb, Cr pairs of each 2 × 2 block, with the
// coefficients as float products truncated to integers. False with a reason
// for files the upload cannot carry.
bool expect_from_bitmap(std::string_view bmp, int mode, DecodeExpectation& out, std::string& error);

enum class DecodeStep { announce, data, ready, result, time };
bool parse_decode_step(std::string_view text, DecodeStep& out);

// How the scanner answers one step: as a working scanner does, with NAK (the
// announce and the data only), not at all, or with only the first `keep` bytes
// of its answer.
struct StepReply {
    enum class Kind { normal, nak, silent, shortened };
    Kind kind = Kind::normal;
    size_t keep = 0;
};
bool parse_step_reply(std::string_view text, StepReply& out);

// A piece of the scanner's output for some input: a reply to send, or bytes
// that are no part of the exchange (the command parser gets them).
struct DecodePiece {
    bool reply = false;
    std::string bytes;
};

class DecodeDevice {
public:
    using Clock = std::chrono::steady_clock;
    // An upload whose next byte comes later than this is abandoned: a host
    // that gave up half way must not make the scanner swallow its next commands.
    static constexpr std::chrono::milliseconds kDataGapLimit{3000};
    // Largest picture the scanner takes.
    static constexpr uint32_t kMaxPicture = 64u << 20;

    void feed(std::string_view data, Clock::time_point now, std::vector<DecodePiece>& out);
    // Drops a half-received message or picture (the line went away).
    void reset_transfer();

    void set_expectation(std::optional<DecodeExpectation> expectation) { expected_ = std::move(expectation); }
    void set_text(std::string text) { text_ = std::move(text); }
    void set_time(uint32_t ms) { time_ms_ = ms; }
    void set_reply(DecodeStep step, StepReply reply) { replies_[static_cast<size_t>(step)] = reply; }

    // "announces=.. accepted=.. width=.. height=.. length=.. received=.. uploads=.. check=match|differ|none
    // ready=.. results=.. times=.."
    std::string stats() const;
    // The picture of the last complete upload.
    const std::string& last_upload() const { return last_upload_; }

private:
    enum class State { idle, header, receiving };

    void idle_byte(char c, std::vector<DecodePiece>& out);
    void header_byte(char c, std::vector<DecodePiece>& out);
    void on_announce(std::vector<DecodePiece>& out);
    void on_picture(std::vector<DecodePiece>& out);
    void answer(DecodeStep step, std::string bytes, std::vector<DecodePiece>& out);
    static void pass(char c, std::vector<DecodePiece>& out);

    State state_ = State::idle;
    std::string header_;
    std::string picture_;
    uint32_t announced_length_ = 0;
    Clock::time_point last_byte_{};

    std::optional<DecodeExpectation> expected_;
    std::string text_ = "QUORVIA-SIM-DECODE";
    uint32_t time_ms_ = 12;
    StepReply replies_[5];

    bool decoded_ = false;  // a picture was taken: the result can be fetched
    uint64_t announces_ = 0;
    uint64_t accepted_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    uint64_t uploads_ = 0;
    uint64_t ready_queries_ = 0;
    uint64_t result_queries_ = 0;
    uint64_t time_queries_ = 0;
    const char* check_ = "none";
    std::string last_upload_;
};

}  // namespace qvsim

// The control commands of the decode upload: what picture a port's scanner
// expects, what it answers, and what it received.
#include <fstream>
#include <iterator>
#include <mutex>

#include "sim_port.h"

namespace qvsim {

namespace {

bool read_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

std::string SimPort::decode_command(const std::vector<std::string>& w) {
    std::lock_guard lk(mu_);
    const std::string& sub = w[0];
    if (sub == "stats" && w.size() == 1) return "OK " + decode_.stats();
    if (sub == "expect" && w.size() == 2 && w[1] == "none") {
        decode_.set_expectation(std::nullopt);
        return "OK";
    }
    if (sub == "expect" && w.size() == 3) {
        uint64_t mode = 0;
        if (!parse_uint(w[1], 2, mode)) return "ERR mode must be 1 or 2";
        std::string bmp;
        if (!read_file(w[2], bmp)) return "ERR cannot read " + w[2];
        DecodeExpectation e;
        std::string error;
        if (!expect_from_bitmap(bmp, static_cast<int>(mode), e, error)) return "ERR " + error;
        const std::string reply = "OK width=" + std::to_string(e.width) + " height=" + std::to_string(e.height) +
                                  " length=" + std::to_string(e.bytes.size());
        decode_.set_expectation(std::move(e));
        return reply;
    }
    if (sub == "text") {
        std::string hex;
        for (size_t i = 1; i < w.size(); ++i) hex += w[i];
        std::string text;
        if (!from_hex(hex, text)) return "ERR bad hex bytes";
        decode_.set_text(std::move(text));
        return "OK";
    }
    if (sub == "time" && w.size() == 2) {
        uint64_t ms = 0;
        if (!parse_uint(w[1], 0xFFFFFFFFu, ms)) return "ERR bad time '" + w[1] + "'";
        decode_.set_time(static_cast<uint32_t>(ms));
        return "OK";
    }
    if (sub == "reply" && w.size() == 3) {
        DecodeStep step;
        StepReply how;
        if (!parse_decode_step(w[1], step)) return "ERR step must be announce, data, ready, result or time";
        if (!parse_step_reply(w[2], how)) return "ERR reply must be normal, nak, silent or short=<n>";
        decode_.set_reply(step, how);
        return "OK";
    }
    if (sub == "dump" && w.size() == 2) {
        return write_file(w[1], decode_.last_upload()) ? "OK" : "ERR cannot write " + w[1];
    }
    return "ERR usage: decode <com> expect <mode> <bitmap>|expect none|text [<hex>]|time <ms>|"
           "reply <step> <how>|stats|dump <file>";
}

}  // namespace qvsim

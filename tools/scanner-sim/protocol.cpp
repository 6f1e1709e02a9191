#include "protocol.h"

namespace qvsim {

using namespace std::string_literals;

const std::string kDetectQuery = "\x7E\x01" "0000" "@___?;\x03"s;
const std::string kDetectAnswer = "\x02\x01" "0000" "@___?\x05;\x03"s;
const std::string kOldQuery = "\x7E\x00\x00\x05" "3H040" "\xB5"s;

std::string old_protocol_answer() {
    const std::string payload = "3H040QuorviaSimOld";
    const size_t v = payload.size() - 1;
    std::string out = "\x02\x00"s;
    out += static_cast<char>((v >> 8) & 0xFF);
    out += static_cast<char>(v & 0xFF);
    out += payload;
    return out;
}

void FrameParser::reset() {
    state_ = State::idle;
    buf_.clear();
    old_remaining_ = 0;
}

void FrameParser::feed(std::string_view data, Clock::time_point now, std::vector<Unit>& out) {
    if (data.empty()) return;
    if (state_ != State::idle && now - last_byte_ > kInterByteLimit) reset();
    last_byte_ = now;
    for (char c : data) step(c, out);
}

void FrameParser::step(char c, std::vector<Unit>& out) {
    const auto u = static_cast<unsigned char>(c);
    switch (state_) {
        case State::idle:
            if (c == '?') {
                out.push_back(Unit{Unit::Kind::probe, {}, '@', {}});
            } else if (u == 0x7E) {
                buf_.assign(1, c);
                state_ = State::start;
            } else if (u == 0x01) {
                buf_.assign(1, c);
                state_ = State::trigger;
            }
            // Anything else outside a frame is noise.
            return;

        case State::start:
            if (u == 0x01) {
                buf_ += c;
                state_ = State::header;
            } else if (u == 0x00) {
                buf_ += c;
                state_ = State::old_length;
            } else {
                reset();
                step(c, out);  // the byte may start something itself
            }
            return;

        case State::trigger:
            if ((buf_.size() == 1 && c == 'T') || (buf_.size() == 2 && u == 0x04)) {
                buf_ += c;
                if (buf_.size() == 3) {
                    out.push_back(Unit{Unit::Kind::trigger, buf_, '@', {}});
                    reset();
                }
                return;
            }
            reset();
            step(c, out);
            return;

        case State::header: {
            // buf_ holds 7E 01 and 0..3 of the four '0'; then comes K.
            const size_t have = buf_.size() - 2;
            const bool fits = have < 4 ? c == '0' : (c == '@' || c == '#');
            if (!fits) {
                reset();
                step(c, out);
                return;
            }
            buf_ += c;
            if (have == 4) state_ = State::body;
            return;
        }

        case State::body: {
            buf_ += c;
            // Header is 7 bytes (7E 01 "0000" K); the frame ends at the first 3B 03
            // after it, or at once with 03 (an empty frame: K and 03).
            const bool empty_frame = u == 0x03 && buf_.size() == 8;
            if (empty_frame || (u == 0x03 && buf_.size() >= 9 && buf_[buf_.size() - 2] == ';')) {
                Unit unit;
                unit.bytes = std::move(buf_);
                unit.frame_kind = unit.bytes[6];
                if (!empty_frame) unit.body = unit.bytes.substr(7, unit.bytes.size() - 9);
                unit.kind = unit.bytes == kDetectQuery ? Unit::Kind::detect_query : Unit::Kind::command_frame;
                out.push_back(std::move(unit));
                reset();
            } else if (buf_.size() > kMaxBody + 9) {
                reset();
            }
            return;
        }

        case State::old_length:
            buf_ += c;
            if (buf_.size() == 4) {
                const size_t length = (static_cast<unsigned char>(buf_[2]) << 8) | static_cast<unsigned char>(buf_[3]);
                if (length > kMaxOldLength) {
                    reset();
                    return;
                }
                old_remaining_ = length + 1;  // payload and check byte
                state_ = State::old_body;
            }
            return;

        case State::old_body:
            buf_ += c;
            if (--old_remaining_ == 0) {
                Unit unit;
                unit.bytes = std::move(buf_);
                unit.kind = unit.bytes == kOldQuery ? Unit::Kind::old_query : Unit::Kind::old_frame;
                out.push_back(std::move(unit));
                reset();
            }
            return;
    }
}

std::vector<std::string_view> split_commands(std::string_view body) {
    std::vector<std::string_view> commands;
    size_t pos = 0;
    while (pos <= body.size()) {
        size_t semi = body.find(';', pos);
        if (semi == std::string_view::npos) semi = body.size();
        if (semi > pos) commands.push_back(body.substr(pos, semi - pos));
        pos = semi + 1;
    }
    return commands;
}

Status scripted_status(const std::map<std::string, Status>& scripts, std::string_view command) {
    Status status = Status::ack;
    size_t best = 0;
    bool found = false;
    for (const auto& [word, st] : scripts) {
        if (command.substr(0, word.size()) == word && (!found || word.size() > best)) {
            best = word.size();
            status = st;
            found = true;
        }
    }
    return status;
}

FrameAnswer answer_command_frame(const PortConfig& cfg, const std::map<std::string, Status>& scripts,
                                 char frame_kind, std::string_view body) {
    const std::vector<std::string_view> commands = split_commands(body);

    FrameAnswer answer;
    // A trigger is answered by the scan itself, never by a response frame.
    bool trigger_frame = false;
    for (std::string_view cmd : commands) {
        if (cmd == "SCNTRG1") {
            trigger_frame = true;
            ++answer.trigger_scans;
        } else if (cmd == "SCNTRG0") {
            trigger_frame = true;
        }
    }
    if (trigger_frame) return answer;

    std::string reply = "\x02\x01" "0000"s;
    reply += frame_kind;
    for (std::string_view cmd : commands) {
        const Status status = scripted_status(scripts, cmd);
        if (status == Status::silent) return answer;
        reply += cmd;
        if (cmd == "QRYSYS") reply += cfg.product.empty() ? cfg.id : "Product Name: " + cfg.product + "\r\n" + cfg.id;
        else if (cmd == "BASQSY") reply += cfg.base;
        else if (cmd == "PRNQRY") reply += cfg.prn;
        else if (cmd == "CPNQRY") reply += cfg.cpn;
        reply += status == Status::nak ? kNak : status == Status::enq ? kEnq : kAck;
        reply += ';';
    }
    reply += '\x03';
    answer.send = true;
    answer.bytes = std::move(reply);
    return answer;
}

}  // namespace qvsim

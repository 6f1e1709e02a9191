#include "sim_loader.h"

#include <cstring>

#include "core/crc32.h"

namespace qvsim {

namespace {

constexpr size_t kMaxCommand = 252;
constexpr uint32_t kLoaderBaud = 9600;
constexpr uint32_t kFastBaud = 115200;
constexpr uint32_t kMaxFrameSize = 65536;

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool parse_number(std::string_view text, uint32_t& out) {
    if (text.empty() || text.size() > 9) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    out = v;
    return true;
}

}  // namespace

uint32_t loader_crc32(std::string_view bytes, uint32_t crc) {
    return qv::Crc32(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), crc);
}

std::optional<SwitchFrame> parse_switch_frame(std::string_view frame) {
    struct Known {
        const char* text;
        SwitchFrame kind;
    };
    static const Known kKnown[] = {
        {"~upDate~", SwitchFrame::update}, {"~upGrade~", SwitchFrame::upgrade}, {"~upBlock~", SwitchFrame::block}};
    for (const Known& k : kKnown) {
        const size_t n = std::strlen(k.text);
        if (frame.size() != 4 + n + 1) continue;
        if (static_cast<uint8_t>(frame[0]) != 0x7E || frame[1] != 0 || frame[2] != 0 ||
            static_cast<uint8_t>(frame[3]) != n || frame.substr(4, n) != k.text) {
            continue;
        }
        uint8_t x = 0;
        for (size_t i = 1; i < 4 + n; ++i) x ^= static_cast<uint8_t>(frame[i]);
        if (static_cast<uint8_t>(frame.back()) != static_cast<uint8_t>(~x)) return std::nullopt;
        return k.kind;
    }
    return std::nullopt;
}

const char* switch_frame_name(SwitchFrame frame) {
    switch (frame) {
        case SwitchFrame::update: return "~upDate~";
        case SwitchFrame::upgrade: return "~upGrade~";
        case SwitchFrame::block: return "~upBlock~";
    }
    return "?";
}

void SimLoader::enter(uint32_t speed, bool extra) {
    active_ = true;
    extra_ = extra;
    speed_ = speed;
    // The block loader also hears 9600 baud until "#COMM" (a host that had to
    // change its rate to reach it probes at 9600 next).
    also_9600_ = extra;
    dropped_ = false;
    state_ = State::idle;
    buf_.clear();
    quiet_since_.reset();
    start_index_ = 0;
    log_.push_back(extra ? "<enter extra " + std::to_string(speed) + ">" : "<enter " + std::to_string(speed) + ">");
}

void SimLoader::clear_history() {
    log_.clear();
    blocks_.clear();
}

bool SimLoader::scripted_silent(const std::string& what) const {
    for (const std::string& s : script_.silent) {
        if (starts_with(what, s)) return true;
    }
    return false;
}

bool SimLoader::scripted_drop(const std::string& what, LoaderOutput& out) {
    for (const std::string& s : script_.drop_at) {
        if (!starts_with(what, s)) continue;
        log_.push_back("<drop at " + what + ">");
        out.drop = true;
        dropped_ = true;
        active_ = false;
        return true;
    }
    return false;
}

std::string SimLoader::reply_frame(char result) const {
    std::string f = {'\x02', '\x05', '\x00', '\x01', result};
    const uint32_t crc = loader_crc32(f);
    for (int shift = 24; shift >= 0; shift -= 8) f += static_cast<char>((crc >> shift) & 0xFF);
    return f;
}

void SimLoader::leave(LoaderOutput& out) {
    log_.push_back("<exit>");
    active_ = false;
    extra_ = false;
    state_ = State::idle;
    quiet_since_.reset();
    out.exit = true;
}

LoaderOutput SimLoader::feed(std::string_view bytes, std::optional<uint32_t> host_baud, int host_stop,
                             LoaderClock::time_point now) {
    LoaderOutput out;
    if (!active_ || bytes.empty()) return out;
    now_ = now;
    if (quiet_since_) quiet_since_ = now;  // still being talked to
    // Bytes sent at another rate (or framing) are noise to the loader.
    const bool rate_ok = !host_baud || speed_ == 0 || *host_baud == speed_ || (also_9600_ && *host_baud == kLoaderBaud);
    if (!rate_ok || (host_baud && speed_ != 0 && host_stop != 1)) {
        state_ = state_ == State::data ? State::data : State::idle;
        buf_.clear();
        return out;
    }
    for (char c : bytes) {
        if (!active_) break;
        step(static_cast<uint8_t>(c), out);
    }
    return out;
}

std::optional<LoaderClock::time_point> SimLoader::deadline() const {
    if (!active_ || !quiet_since_) return std::nullopt;
    return *quiet_since_ + kQuietExit;
}

LoaderOutput SimLoader::poll(LoaderClock::time_point now) {
    LoaderOutput out;
    if (active_ && quiet_since_ && now >= *quiet_since_ + kQuietExit) leave(out);
    return out;
}

void SimLoader::step(uint8_t c, LoaderOutput& out) {
    switch (state_) {
        case State::idle:
            if (c == '?') {
                if (scripted_drop("probe", out)) return;
                if (!scripted_silent("probe")) out.reply += '<';
            } else if (c == '*') {
                out.reply += '*';
            } else if (c == 0x02) {
                buf_.assign(1, static_cast<char>(c));
                state_ = State::frame_head;
            } else if (c == 0x7E) {
                buf_.assign(1, static_cast<char>(c));
                state_ = State::switch_head;
            }
            return;

        case State::frame_head:
            buf_ += static_cast<char>(c);
            if (buf_.size() == 2 && c != 0x05) {
                state_ = State::idle;
                buf_.clear();
                return;
            }
            if (buf_.size() == 4) {
                const size_t len = (static_cast<uint8_t>(buf_[2]) << 8) | static_cast<uint8_t>(buf_[3]);
                if (len == 0 || len > kMaxCommand) {
                    state_ = State::idle;
                    buf_.clear();
                    return;
                }
                need_ = len + 4;
                state_ = State::frame_body;
            }
            return;

        case State::frame_body: {
            buf_ += static_cast<char>(c);
            if (--need_ != 0) return;
            state_ = State::idle;
            const size_t len = buf_.size() - 8;
            const std::string text = buf_.substr(4, len);
            uint32_t sent = 0;
            for (size_t i = 0; i < 4; ++i) sent = (sent << 8) | static_cast<uint8_t>(buf_[4 + len + i]);
            const bool crc_ok = loader_crc32(std::string_view(buf_).substr(0, 4 + len)) == sent;
            buf_.clear();
            if (!crc_ok) {
                log_.push_back("<bad CRC " + text + ">");
                out.reply += reply_frame('C');
                return;
            }
            command(text, out);
            return;
        }

        case State::switch_head:
            buf_ += static_cast<char>(c);
            if (buf_.size() == 2 && c != 0x00) {
                state_ = State::idle;
                buf_.clear();
                return;
            }
            if (buf_.size() == 4) {
                need_ = static_cast<uint8_t>(buf_[3]) + 1u;
                state_ = State::switch_body;
            }
            return;

        case State::switch_body:
            buf_ += static_cast<char>(c);
            if (--need_ != 0) return;
            state_ = State::idle;
            if (auto sw = parse_switch_frame(buf_)) {
                log_.push_back(std::string(switch_frame_name(*sw)) + " (loader)");
                if (!scripted_silent(switch_frame_name(*sw))) out.reply += '\x06';
            }
            buf_.clear();
            return;

        case State::data:
            buf_ += static_cast<char>(c);
            if (buf_.size() == frame_size_ + 5u) data_frame(out);
            return;
    }
}

void SimLoader::data_frame(LoaderOutput& out) {
    const std::string frame = std::move(buf_);
    buf_.clear();
    if (scripted_drop("frame", out)) return;
    uint32_t sent = 0;
    for (size_t i = 0; i < 4; ++i) sent = (sent << 8) | static_cast<uint8_t>(frame[frame_size_ + 1 + i]);
    const bool ok = static_cast<uint8_t>(frame[0]) == 0x02 &&
                    loader_crc32(std::string_view(frame).substr(0, frame_size_ + 1)) == sent;
    if (!ok) {
        log_.push_back("<bad data frame " + std::to_string(frames_received_) + ">");
        state_ = State::idle;
        out.reply += 'E';
        return;
    }
    const uint32_t take = std::min<uint32_t>(frame_size_, data_lens_ - static_cast<uint32_t>(data_.size()));
    // The last frame is padded with zeros.
    for (uint32_t i = take; i < frame_size_; ++i) {
        if (frame[1 + i] != '\0') {
            log_.push_back("<padding not zero>");
            state_ = State::idle;
            out.reply += 'P';
            return;
        }
    }
    data_.append(frame, 1, take);
    ++frames_received_;
    if (!scripted_silent("frame")) out.reply += '*';
    if (frames_received_ < frames_) return;

    // The whole block came: acknowledged once more, then written.
    state_ = State::idle;
    if (!scripted_silent("frame")) out.reply += '*';
    blocks_.push_back(ReceivedBlock{file_type_, data_lens_, frame_size_, frames_, std::move(data_)});
    data_.clear();
    log_.push_back("<block " + std::to_string(blocks_.size() - 1) + ">");
    if (scripted_drop("written", out)) return;
    if (!scripted_silent("written")) out.reply += script_.written;
    quiet_since_ = now_;
    if (!extra_ && speed_ != 0 && speed_ != kLoaderBaud) {
        // The loader of the main blocks takes the next one at 9600 baud, and
        // still hears what comes at its rate meanwhile ("@NextDown").
        also_9600_ = true;
        log_.push_back("<speed 9600>");
    }
}

void SimLoader::command(const std::string& text, LoaderOutput& out) {
    log_.push_back(text);
    if (scripted_drop(text, out)) return;
    if (scripted_silent(text)) return;
    for (const auto& [prefix, refusal] : script_.refuse) {
        if (!starts_with(text, prefix)) continue;
        int& used = refusals_used_[prefix];
        if (refusal.remaining < 0 || used < refusal.remaining) {
            ++used;
            out.reply += reply_frame(refusal.result);
            return;
        }
    }
    char result = '0';
    uint32_t n = 0;
    if (starts_with(text, "#COMM:")) {
        if (text != "#COMM:115200,8,0,1") {
            result = '9';
        } else {
            out.reply += reply_frame('0');
            also_9600_ = false;
            if (speed_ != 0) {
                speed_ = kFastBaud;
                out.speed = speed_;
                log_.push_back("<speed 115200>");
            }
            return;
        }
    } else if (starts_with(text, "!DataLens:") && parse_number(std::string_view(text).substr(10), n)) {
        data_lens_ = n;
    } else if (starts_with(text, "!FileType:")) {
        file_type_ = text.substr(10);
    } else if (starts_with(text, "!FrameSize:") && parse_number(std::string_view(text).substr(11), n) && n > 0 &&
               n <= kMaxFrameSize) {
        frame_size_ = n;
    } else if (starts_with(text, "!Frames:") && parse_number(std::string_view(text).substr(8), n)) {
        frames_ = n;
    } else if (text == ">Start") {
        const bool fits = data_lens_ > 0 && frame_size_ > 0 &&
                          frames_ == (data_lens_ + frame_size_ - 1) / frame_size_;
        if (!fits) {
            result = '5';
        } else if (start_index_ < script_.start_answers.size()) {
            result = script_.start_answers[start_index_++];
            last_start_ = result;
            retries_left_ = script_.retries;
        } else {
            last_start_ = '0';
        }
    } else if (text == ">Erase" && (last_start_ == '3' || last_start_ == '4')) {
        const bool fits = frames_ == (data_lens_ + frame_size_ - 1) / frame_size_;
        if (!fits) {
            result = '5';
        } else {
            out.reply += reply_frame('0');
            if (last_start_ == '4') out.reply += "..;";
            last_start_ = '0';
            frames_received_ = 0;
            data_.clear();
            state_ = State::data;
            return;
        }
    } else if (text == ">Retry" && last_start_ == '2') {
        if (retries_left_ > 0) {
            --retries_left_;
            result = '2';
        } else {
            last_start_ = '0';
        }
    } else if (text == "@NextDown" || text == "@NextBlock") {
        // Nothing to do: the next block's parameters follow.
    } else if (text == "@Exit") {
        out.reply += reply_frame('0');
        leave(out);
        return;
    } else {
        result = '9';
    }
    out.reply += reply_frame(result);
    if (result == '0' && (text == ">Start" || text == ">Retry")) {
        frames_received_ = 0;
        data_.clear();
        state_ = State::data;
    }
}

}  // namespace qvsim

#include "sim_decode.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace qvsim {

namespace {

constexpr char kEsc = 0x1B;
constexpr char kDecodeGroup = static_cast<char>(0x99);
constexpr char kOpAnnounce = 0x01;
constexpr char kOpReady = 0x02;
constexpr char kOpTime = 0x04;
constexpr char kFetchResult = 0x06;
constexpr char kAckByte = 0x06;
constexpr char kNakByte = 0x15;
constexpr size_t kAnnounceSize = 11;
constexpr uint32_t kMaxSide = 0xFFFF;

uint32_t le(std::string_view s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    return v;
}

std::string le_bytes(uint32_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

// A product of a coefficient and a colour value, as the scanner's float tables hold it.
float product(double coefficient, int value) { return static_cast<float>(coefficient * value); }

// The pixels of a bitmap as the scanner sees them: rows counted from the top.
struct Pixels {
    std::string_view file;
    size_t offset = 0;
    uint64_t stride = 0;
    uint32_t width = 0;
    uint32_t rows = 0;
    bool bottom_up = true;
    int bytes_per_pixel = 1;

    const unsigned char* at(uint32_t x, uint32_t top_row) const {
        const uint32_t stored = bottom_up ? rows - 1 - top_row : top_row;
        return reinterpret_cast<const unsigned char*>(file.data()) + offset + stored * stride +
               static_cast<uint64_t>(x) * static_cast<uint64_t>(bytes_per_pixel);
    }
};

bool read_pixels(std::string_view bmp, Pixels& px, int& bits, std::string& error) {
    if (bmp.size() < 54) {
        error = "shorter than the bitmap headers";
        return false;
    }
    if (bmp[0] != 'B' || bmp[1] != 'M') {
        error = "not a bitmap";
        return false;
    }
    const uint32_t offset = le(bmp, 10, 4);
    const uint32_t info = le(bmp, 14, 4);
    const auto width = static_cast<int32_t>(le(bmp, 18, 4));
    const auto height = static_cast<int32_t>(le(bmp, 22, 4));
    bits = static_cast<int>(le(bmp, 28, 2));
    if (info < 40 || le(bmp, 30, 4) != 0) {
        error = "not an uncompressed bitmap";
        return false;
    }
    if (bits != 8 && bits != 24) {
        error = "bit count " + std::to_string(bits);
        return false;
    }
    if (width <= 0 || height == 0) {
        error = "no pixels";
        return false;
    }
    px.file = bmp;
    px.width = static_cast<uint32_t>(width);
    px.rows = height > 0 ? static_cast<uint32_t>(height) : static_cast<uint32_t>(-static_cast<int64_t>(height));
    px.bottom_up = height > 0;
    px.bytes_per_pixel = bits / 8;
    px.stride = (static_cast<uint64_t>(px.width) * static_cast<uint64_t>(bits) + 31) / 32 * 4;
    px.offset = offset;
    if (offset < 14 + static_cast<uint64_t>(info) || offset > bmp.size() ||
        px.stride * px.rows > bmp.size() - offset) {
        error = "pixel rows outside the file";
        return false;
    }
    return true;
}

void grey_rows(const Pixels& px, int bits, std::string& out) {
    out.reserve(static_cast<size_t>(px.width) * px.rows);
    for (uint32_t y = 0; y < px.rows; ++y) {
        for (uint32_t x = 0; x < px.width; ++x) {
            const unsigned char* p = px.at(x, y);
            if (bits == 8) {
                out += static_cast<char>(p[0]);
            } else {
                const double grey = 0.587 * p[1] + 0.299 * p[2] + 0.114 * p[0];
                out += static_cast<char>(static_cast<int>(grey));
            }
        }
    }
}

void yuv420(const Pixels& px, std::string& out) {
    const size_t w = px.width, h = px.rows;
    out.assign(w * h + w * h / 2, '\0');
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const unsigned char* p = px.at(x, y);
            const float luma = product(0.299, p[2]) + product(0.587, p[1]) + product(0.114, p[0]);
            out[y * w + x] = static_cast<char>(static_cast<int>(luma));
        }
    }
    size_t at = w * h;
    for (uint32_t by = 0; by < h / 2; ++by) {
        for (uint32_t bx = 0; bx < w / 2; ++bx) {
            int u = 0, v = 0;
            for (uint32_t dy = 0; dy < 2; ++dy) {
                for (uint32_t dx = 0; dx < 2; ++dx) {
                    const unsigned char* p = px.at(2 * bx + dx, 2 * by + dy);
                    const int b = p[0], g = p[1], r = p[2];
                    u += static_cast<int>(-product(0.1684, r) - product(0.3316, g) + static_cast<float>(b / 2) + 128.0f);
                    v += static_cast<int>(static_cast<float>(r / 2) - product(0.4187, g) - product(0.0813, b) + 128.0f);
                }
            }
            out[at++] = static_cast<char>(u >> 2);
            out[at++] = static_cast<char>(v >> 2);
        }
    }
}

}  // namespace

bool expect_from_bitmap(std::string_view bmp, int mode, DecodeExpectation& out, std::string& error) {
    if (mode != 1 && mode != 2) {
        error = "mode must be 1 or 2";
        return false;
    }
    Pixels px;
    int bits = 0;
    if (!read_pixels(bmp, px, bits, error)) return false;
    DecodeExpectation e;
    e.width = px.width;
    if (mode == 2 && bits == 24) {
        if (px.width % 2 != 0 || px.rows % 2 != 0) {
            error = "odd width or height";
            return false;
        }
        e.height = px.rows / 2 * 3;
        if (e.width > kMaxSide || e.height > kMaxSide) {
            error = "too large";
            return false;
        }
        yuv420(px, e.bytes);
    } else {
        e.height = px.rows;
        if (e.width > kMaxSide || e.height > kMaxSide) {
            error = "too large";
            return false;
        }
        grey_rows(px, bits, e.bytes);
    }
    out = std::move(e);
    return true;
}

bool parse_decode_step(std::string_view text, DecodeStep& out) {
    static const std::pair<std::string_view, DecodeStep> kSteps[] = {
        {"announce", DecodeStep::announce}, {"data", DecodeStep::data}, {"ready", DecodeStep::ready},
        {"result", DecodeStep::result},     {"time", DecodeStep::time},
    };
    for (const auto& [name, step] : kSteps) {
        if (text == name) {
            out = step;
            return true;
        }
    }
    return false;
}

bool parse_step_reply(std::string_view text, StepReply& out) {
    if (text == "normal") {
        out = StepReply{};
    } else if (text == "nak") {
        out = StepReply{StepReply::Kind::nak, 0};
    } else if (text == "silent") {
        out = StepReply{StepReply::Kind::silent, 0};
    } else if (text.substr(0, 6) == "short=" && text.size() > 6 && text.size() <= 12) {
        size_t keep = 0;
        for (char c : text.substr(6)) {
            if (c < '0' || c > '9') return false;
            keep = keep * 10 + static_cast<size_t>(c - '0');
        }
        out = StepReply{StepReply::Kind::shortened, keep};
    } else {
        return false;
    }
    return true;
}

void DecodeDevice::pass(char c, std::vector<DecodePiece>& out) {
    if (out.empty() || out.back().reply) out.push_back(DecodePiece{false, {}});
    out.back().bytes += c;
}

void DecodeDevice::answer(DecodeStep step, std::string bytes, std::vector<DecodePiece>& out) {
    const StepReply& how = replies_[static_cast<size_t>(step)];
    switch (how.kind) {
        case StepReply::Kind::normal: break;
        case StepReply::Kind::nak:
            if (step == DecodeStep::announce || step == DecodeStep::data) bytes.assign(1, kNakByte);
            break;
        case StepReply::Kind::silent: return;
        case StepReply::Kind::shortened:
            if (bytes.size() > how.keep) bytes.resize(how.keep);
            break;
    }
    if (!bytes.empty()) out.push_back(DecodePiece{true, std::move(bytes)});
}

void DecodeDevice::reset_transfer() {
    state_ = State::idle;
    header_.clear();
    picture_.clear();
}

void DecodeDevice::feed(std::string_view data, Clock::time_point now, std::vector<DecodePiece>& out) {
    if (data.empty()) return;
    if (state_ != State::idle && now - last_byte_ > kDataGapLimit) reset_transfer();
    last_byte_ = now;
    size_t i = 0;
    while (i < data.size()) {
        if (state_ == State::receiving) {
            // The picture is taken in bulk, whatever its bytes look like.
            const size_t take = std::min<size_t>(data.size() - i, announced_length_ - picture_.size());
            picture_.append(data.substr(i, take));
            i += take;
            if (picture_.size() == announced_length_) on_picture(out);
            continue;
        }
        const char c = data[i++];
        if (state_ == State::header) {
            header_byte(c, out);
        } else {
            idle_byte(c, out);
        }
    }
}

void DecodeDevice::idle_byte(char c, std::vector<DecodePiece>& out) {
    if (c == kEsc) {
        header_.assign(1, c);
        state_ = State::header;
    } else if (c == kFetchResult && decoded_) {
        ++result_queries_;
        answer(DecodeStep::result, text_, out);
    } else {
        pass(c, out);
    }
}

void DecodeDevice::header_byte(char c, std::vector<DecodePiece>& out) {
    header_ += c;
    if (header_.size() == 2 && c != kDecodeGroup) {
        // Not a decode message: the escape is no part of the exchange; the
        // byte after it may start something itself.
        state_ = State::idle;
        pass(kEsc, out);
        header_.clear();
        idle_byte(c, out);
        return;
    }
    if (header_.size() < 3) return;
    const char op = header_[2];
    if (op == kOpReady) {
        state_ = State::idle;
        ++ready_queries_;
        answer(DecodeStep::ready, le_bytes(decoded_ && !text_.empty() ? 1 : 0, 4), out);
    } else if (op == kOpTime) {
        state_ = State::idle;
        ++time_queries_;
        answer(DecodeStep::time, le_bytes(decoded_ ? time_ms_ : 0, 4), out);
    } else if (op != kOpAnnounce) {
        state_ = State::idle;
        for (char b : header_) pass(b, out);
    } else if (header_.size() == kAnnounceSize) {
        on_announce(out);
    }
    if (state_ == State::idle) header_.clear();
}

void DecodeDevice::on_announce(std::vector<DecodePiece>& out) {
    ++announces_;
    state_ = State::idle;
    decoded_ = false;
    const uint32_t length = le(header_, 3, 4);
    width_ = le(header_, 7, 2);
    height_ = le(header_, 9, 2);
    header_.clear();
    bool fits = length != 0 && length <= kMaxPicture && static_cast<uint64_t>(width_) * height_ == length;
    if (fits && expected_) {
        fits = width_ == expected_->width && height_ == expected_->height && length == expected_->bytes.size();
    }
    announced_length_ = length;
    const StepReply& how = replies_[static_cast<size_t>(DecodeStep::announce)];
    const bool accepts = fits && (how.kind == StepReply::Kind::normal ||
                                  (how.kind == StepReply::Kind::shortened && how.keep > 0));
    answer(DecodeStep::announce, std::string(1, fits ? kAckByte : kNakByte), out);
    if (!accepts) return;
    ++accepted_;
    picture_.clear();
    picture_.reserve(length);
    state_ = State::receiving;
}

void DecodeDevice::on_picture(std::vector<DecodePiece>& out) {
    state_ = State::idle;
    ++uploads_;
    bool good = true;
    if (expected_) {
        good = picture_ == expected_->bytes;
        check_ = good ? "match" : "differ";
    } else {
        check_ = "none";
    }
    last_upload_.swap(picture_);
    picture_.clear();
    decoded_ = good;
    answer(DecodeStep::data, std::string(1, good ? kAckByte : kNakByte), out);
}

std::string DecodeDevice::stats() const {
    char text[320];
    std::snprintf(text, sizeof text,
                  "announces=%" PRIu64 " accepted=%" PRIu64 " width=%u height=%u length=%u received=%zu uploads=%" PRIu64
                  " check=%s ready=%" PRIu64 " results=%" PRIu64 " times=%" PRIu64,
                  announces_, accepted_, width_, height_, announced_length_,
                  state_ == State::receiving ? picture_.size() : last_upload_.size(), uploads_, check_,
                  ready_queries_, result_queries_, time_queries_);
    return text;
}

}  // namespace qvsim

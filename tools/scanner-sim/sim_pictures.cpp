#include "sim_pictures.h"

#include <jpeglib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace qvsim {

namespace {

using namespace std::string_literals;

const std::string kReplyPrefix = "\x02\x01" "0000"s;
constexpr uint32_t kMaxSide = 16384;

char status_char(Status s) { return s == Status::nak ? kNak : s == Status::enq ? kEnq : kAck; }

std::string hex8(size_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "%08zX", n);
    return text;
}

std::string four_digits(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u", v % 10000);
    return text;
}

// Values of an image command after its word: decimal numbers (or the 16-digit
// region) each followed by its letter, e.g. "0T0R2F50Q" -> T=0, R=0, F=2, Q=50.
bool command_values(std::string_view text, std::map<char, std::string>& out) {
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        if (j < text.size() && text[j] == '-') ++j;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        if (j == i || j >= text.size()) return false;
        out[text[j]] = std::string(text.substr(i, j - i));
        i = j + 1;
    }
    return true;
}

long value_of(const std::map<char, std::string>& values, char letter, long fallback) {
    auto it = values.find(letter);
    return it == values.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
}

// Parses "<x>W<y>H|..." into points; false when the text is not four such groups.
bool location_points(const std::string& text, std::vector<std::pair<uint32_t, uint32_t>>& points) {
    points.clear();
    size_t i = 0;
    while (i < text.size() && points.size() < 4) {
        char* end = nullptr;
        const unsigned long x = std::strtoul(text.c_str() + i, &end, 10);
        if (end == text.c_str() + i || *end != 'W') return false;
        i = static_cast<size_t>(end - text.c_str()) + 1;
        const unsigned long y = std::strtoul(text.c_str() + i, &end, 10);
        if (end == text.c_str() + i || *end != 'H') return false;
        i = static_cast<size_t>(end - text.c_str()) + 1;
        points.emplace_back(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
        if (i < text.size() && text[i] == '|') ++i;
    }
    return points.size() == 4;
}

void put_le(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string error_reply(char frame_kind, std::string_view body, char status) {
    return kReplyPrefix + frame_kind + std::string(body) + status + ";\x03";
}

// The reply with the fault applied, cut into the pieces that go out.
ImageAnswer deliver(std::string reply, PictureFault& fault) {
    ImageAnswer answer;
    answer.handled = true;
    const PictureFault f = fault;
    fault = PictureFault{};
    switch (f.kind) {
        case PictureFault::Kind::lead:
            reply.insert(0, f.text);
            break;
        case PictureFault::Kind::cut:
            reply.resize(std::min(reply.size(), f.at));
            break;
        case PictureFault::Kind::pause:
            if (f.at < reply.size()) {
                answer.pieces.push_back({reply.substr(0, f.at), std::chrono::milliseconds(0)});
                answer.pieces.push_back({reply.substr(f.at), f.delay});
                return answer;
            }
            break;
        default:
            break;
    }
    if (!reply.empty()) answer.pieces.push_back({std::move(reply), std::chrono::milliseconds(0)});
    return answer;
}

// The picture reply to "IMGGET<values>" or "SOPIMG<values>".
ImageAnswer picture_reply(const PictureConfig& cfg, PictureFault& fault, char frame_kind, std::string_view body,
                          bool roi) {
    std::map<char, std::string> values;
    if (!command_values(body.substr(6), values)) return deliver(error_reply(frame_kind, body, kNak), fault);
    if (fault.kind == PictureFault::Kind::silent) {
        fault = PictureFault{};
        return ImageAnswer{true, {}};
    }
    if (fault.kind == PictureFault::Kind::no_image) return deliver(error_reply(frame_kind, body, kNak), fault);

    std::string owned;                // a picture made for this reply
    const std::string* data = &owned;  // what the reply carries
    std::string location;
    if (roi) {
        owned = roi_bmp(cfg);
    } else {
        data = &raw_picture(cfg);
        uint32_t w = cfg.width;
        uint32_t h = cfg.height;
        auto region = values.find('B');
        if (region != values.end()) {
            const std::string& b = region->second;
            if (b.size() != 16 || cfg.colour) return deliver(error_reply(frame_kind, body, kNak), fault);
            const auto field = [&](int k) { return static_cast<uint32_t>(std::stoul(b.substr(4 * k, 4))); };
            const uint32_t x = field(0), y = field(1), rw = field(2), rh = field(3);
            if (rw == 0 || rh == 0 || x + rw > w || y + rh > h) {
                return deliver(error_reply(frame_kind, body, kNak), fault);
            }
            owned = crop(*data, w, x, y, rw, rh);
            data = &owned;
            w = rw;
            h = rh;
        }
        const long r = value_of(values, 'R', 0);
        if ((r == 1 || r == 2) && !cfg.colour && region == values.end()) {
            // Lower resolutions: every second (R 1) or fourth (R 2) pixel.
            const uint32_t factor = r == 1 ? 2 : 4;
            owned = scaled_picture(*data, w, h, factor);
            data = &owned;
            w /= factor;
            h /= factor;
        }
        if (value_of(values, 'F', 0) == 2) {
            const long q = value_of(values, 'Q', 75);
            // A colour device compresses its luma picture.
            owned = jpeg_picture(data->substr(0, size_t{w} * h), w, h, q >= 1 && q <= 100 ? static_cast<int>(q) : 75);
            data = &owned;
        }
        if (value_of(values, 'T', 0) == 2) {
            location = fault.kind == PictureFault::Kind::bad_location ? fault.text : cfg.locations;
        }
    }
    std::string length = hex8(data->size());
    if (fault.kind == PictureFault::Kind::bad_length) length = (fault.text + "00000000").substr(0, 8);
    std::string reply;
    reply.reserve(kReplyPrefix.size() + 1 + body.size() + location.size() + 8 + data->size() + 3);
    reply += kReplyPrefix;
    reply += frame_kind;
    reply += body;
    reply += location;
    reply += length;
    reply += *data;
    reply += "\x06;\x03";
    return deliver(std::move(reply), fault);
}

}  // namespace

uint32_t raw_height(const PictureConfig& cfg) { return cfg.colour ? cfg.height / 2 * 3 : cfg.height; }

std::string capability_text(const PictureConfig& cfg) {
    if (cfg.caps) return *cfg.caps;
    std::string text = "0-2T0-1R0.1.2.4F0-100Q0-3I0-10A";
    if (cfg.width <= 9999 && cfg.height <= 9999) {
        text += "000000000001" "0001-" + four_digits(cfg.width - 1) + four_digits(cfg.height - 1) +
                four_digits(cfg.width) + four_digits(cfg.height) + "B";
    }
    return text;
}

std::string grey_picture(uint32_t width, uint32_t height) {
    std::string p(size_t{width} * height, '\0');
    const uint32_t wd = width > 1 ? width - 1 : 1;
    const uint32_t hd = height > 1 ? height - 1 : 1;
    // A smooth background (brighter to the right and down) and, in the
    // middle, a barcode: dark and light bars between the points of the
    // default barcode location. Both depend on the column alone.
    std::vector<uint8_t> background(width);
    std::vector<int> bars(width, -1);
    const uint32_t unit = width >= 320 ? width / 320 : 1;
    for (uint32_t x = 0; x < width; ++x) {
        background[x] = static_cast<uint8_t>(x * 160 / wd);
        if (x >= width * 3 / 16 && x < width * 13 / 16) {
            const uint32_t module = (x - width * 3 / 16) / unit;
            const bool dark = ((module * 2654435761u) >> 13) % 3 == 0 || module % 11 == 0;
            bars[x] = dark ? 24 : 232;
        }
    }
    for (uint32_t y = 0; y < height; ++y) {
        char* row = p.data() + size_t{y} * width;
        const uint8_t down = static_cast<uint8_t>(y * 95 / hd);
        const bool barcode = y >= height / 6 && y < height * 5 / 6;
        for (uint32_t x = 0; x < width; ++x) {
            row[x] = static_cast<char>(barcode && bars[x] >= 0 ? bars[x] : background[x] + down);
        }
        // Byte runs a stream splitter outside raw mode would take for frame
        // ends and frame starts.
        if (y % 24 == 7 && width >= 64) {
            static const std::string kRuns[] = {"\x06;\x03"s, "\x02\x01" "0000"s, ";\x03"s, "\x15;\x03"s,
                                                "\x05;\x03"s};
            uint32_t x = 16;
            for (const std::string& run : kRuns) {
                std::copy(run.begin(), run.end(), row + x);
                x += 8;
            }
        }
    }
    return p;
}

std::string yuv_frame(uint32_t width, uint32_t height) {
    std::string f = grey_picture(width, height);
    const uint32_t chroma_rows = height / 2;
    f.resize(size_t{width} * (height + chroma_rows));
    for (uint32_t c = 0; c < chroma_rows; ++c) {
        char* row = f.data() + size_t{width} * (height + c);
        for (uint32_t k = 0; k + 1 < width; k += 2) {
            row[k] = static_cast<char>(64 + k * 128 / width);            // V
            row[k + 1] = static_cast<char>(64 + c * 2 * 128 / height);   // U
        }
    }
    return f;
}

std::string scaled_picture(const std::string& grey, uint32_t width, uint32_t height, uint32_t factor) {
    std::string out;
    if (factor == 0) return out;
    out.reserve(size_t{width / factor} * (height / factor));
    for (uint32_t r = 0; r < height / factor; ++r) {
        for (uint32_t c = 0; c < width / factor; ++c) out += grey[size_t{r} * factor * width + size_t{c} * factor];
    }
    return out;
}

const std::string& raw_picture(const PictureConfig& cfg) {
    // The last picture of each port's thread is kept: taking a picture is
    // device time, and a benchmark should measure the host.
    thread_local struct {
        bool valid = false;
        bool colour = false;
        uint32_t width = 0;
        uint32_t height = 0;
        std::string bytes;
    } last;
    if (!last.valid || last.colour != cfg.colour || last.width != cfg.width || last.height != cfg.height) {
        last.bytes = cfg.colour ? yuv_frame(cfg.width, cfg.height) : grey_picture(cfg.width, cfg.height);
        last.valid = true;
        last.colour = cfg.colour;
        last.width = cfg.width;
        last.height = cfg.height;
    }
    return last.bytes;
}

std::string crop(const std::string& picture, uint32_t width, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
    std::string out;
    out.reserve(size_t{w} * h);
    for (uint32_t r = 0; r < h; ++r) out.append(picture, size_t{y + r} * width + x, w);
    return out;
}

bool roi_box(const PictureConfig& cfg, uint32_t* x, uint32_t* y, uint32_t* w, uint32_t* h) {
    std::vector<std::pair<uint32_t, uint32_t>> points;
    if (!location_points(cfg.locations, points)) return false;
    uint32_t x0 = UINT32_MAX, y0 = UINT32_MAX, x1 = 0, y1 = 0;
    for (auto [px, py] : points) {
        x0 = std::min(x0, px);
        y0 = std::min(y0, py);
        x1 = std::max(x1, px);
        y1 = std::max(y1, py);
    }
    x1 = std::min(x1, cfg.width - 1);
    y1 = std::min(y1, cfg.height - 1);
    if (x0 > x1 || y0 > y1) return false;
    *x = x0;
    *y = y0;
    *w = x1 - x0 + 1;
    *h = y1 - y0 + 1;
    return true;
}

std::string roi_bmp(const PictureConfig& cfg) {
    uint32_t x = 0, y = 0, w = cfg.width, h = cfg.height;
    if (!roi_box(cfg, &x, &y, &w, &h)) {
        x = 0;
        y = 0;
        w = cfg.width;
        h = cfg.height;
    }
    const std::string region = crop(grey_picture(cfg.width, cfg.height), cfg.width, x, y, w, h);
    const uint32_t stride = (w + 3) / 4 * 4;
    const uint32_t pixels_at = 14 + 40 + 1024;
    std::string bmp = "BM";
    put_le(bmp, pixels_at + stride * h, 4);
    put_le(bmp, 0, 4);
    put_le(bmp, pixels_at, 4);
    put_le(bmp, 40, 4);
    put_le(bmp, w, 4);
    put_le(bmp, h, 4);
    put_le(bmp, 1, 2);
    put_le(bmp, 8, 2);
    put_le(bmp, 0, 4);
    put_le(bmp, stride * h, 4);
    bmp.append(16, '\0');
    for (uint32_t i = 0; i < 256; ++i) put_le(bmp, i * 0x010101u, 4);
    for (uint32_t r = h; r-- > 0;) {
        bmp.append(region, size_t{r} * w, w);
        bmp.append(stride - w, '\0');
    }
    return bmp;
}

std::string jpeg_picture(const std::string& grey, uint32_t width, uint32_t height, int quality) {
    jpeg_compress_struct c;
    jpeg_error_mgr errors;
    c.err = jpeg_std_error(&errors);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long mem_size = 0;
    jpeg_mem_dest(&c, &mem, &mem_size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPROW> rows(height);
    for (uint32_t r = 0; r < height; ++r) {
        rows[r] = reinterpret_cast<JSAMPROW>(const_cast<char*>(grey.data() + size_t{r} * width));
    }
    while (c.next_scanline < height) jpeg_write_scanlines(&c, rows.data() + c.next_scanline, height - c.next_scanline);
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string out(reinterpret_cast<const char*>(mem), mem_size);
    std::free(mem);
    return out;
}

ImageAnswer answer_image_command(const PictureConfig& cfg, PictureFault& fault, Status scripted, char frame_kind,
                                 std::string_view body) {
    const bool size_query = body == "IMGGWH";
    const bool format_query = body == "IMGFMT";
    const bool caps_query = body == "IMGGET^";
    // A picture command carries values: "IMGGET0T0R0F", "SOPIMG0P1U...". Other
    // IMGGET texts ("IMGGET*" and the like) are ordinary commands.
    const auto with_values = [&](const char* word) {
        return body.size() > 6 && body.substr(0, 6) == word &&
               ((body[6] >= '0' && body[6] <= '9') || body[6] == '-');
    };
    const bool picture = with_values("IMGGET");
    const bool roi = with_values("SOPIMG");
    if (!size_query && !format_query && !caps_query && !picture && !roi) return {};
    if (scripted == Status::silent) return ImageAnswer{true, {}};
    if ((picture || roi) && scripted != Status::ack) {
        const std::string refused = error_reply(frame_kind, body, status_char(scripted));
        return ImageAnswer{true, {{refused, std::chrono::milliseconds(0)}}};
    }
    if (picture || roi) return picture_reply(cfg, fault, frame_kind, body, roi);

    std::string reply = kReplyPrefix + frame_kind;
    if (size_query) {
        reply += "IMGGWH";
        reply += cfg.size_text ? *cfg.size_text
                               : std::to_string(cfg.width) + "W" + std::to_string(raw_height(cfg)) + "H";
    } else if (format_query) {
        reply += "IMGFMT";
        reply += cfg.format_value ? *cfg.format_value : cfg.colour ? '1' : '0';
    } else {
        reply += cfg.echo_caret ? "IMGGET^" : "IMGGET";
        reply += capability_text(cfg);
    }
    reply += status_char(scripted);
    reply += ";\x03";
    return ImageAnswer{true, {{std::move(reply), std::chrono::milliseconds(0)}}};
}

bool apply_picture_setting(PictureConfig& cfg, std::string_view setting, std::string& error) {
    const size_t eq = setting.find('=');
    if (eq == std::string_view::npos) {
        error = "picture settings are key=value";
        return false;
    }
    const std::string_view key = setting.substr(0, eq);
    const std::string value(setting.substr(eq + 1));
    PictureConfig next = cfg;
    if (key == "size") {
        const size_t x = value.find('x');
        uint64_t w = 0, h = 0;
        if (x == std::string::npos || !parse_uint(value.substr(0, x), kMaxSide, w) ||
            !parse_uint(value.substr(x + 1), kMaxSide, h) || w == 0 || h == 0) {
            error = "size is <width>x<height>, each 1.." + std::to_string(kMaxSide);
            return false;
        }
        next.width = static_cast<uint32_t>(w);
        next.height = static_cast<uint32_t>(h);
    } else if (key == "colour") {
        if (value != "grey" && value != "yuv") {
            error = "colour is grey or yuv";
            return false;
        }
        next.colour = value == "yuv";
    } else if (key == "caps") {
        if (value == "default") next.caps.reset();
        else next.caps = value;
    } else if (key == "echo") {
        if (value != "caret" && value != "plain") {
            error = "echo is caret or plain";
            return false;
        }
        next.echo_caret = value == "caret";
    } else if (key == "loc") {
        next.locations = value;
    } else if (key == "gwh") {
        if (value == "default") next.size_text.reset();
        else next.size_text = value;
    } else if (key == "fmt") {
        if (value == "default") next.format_value.reset();
        else if (value.size() == 1) next.format_value = value[0];
        else {
            error = "fmt is one character or default";
            return false;
        }
    } else {
        error = "unknown picture setting '" + std::string(key) + "'";
        return false;
    }
    if (next.colour && (next.width % 2 != 0 || next.height % 2 != 0)) {
        error = "a yuv picture needs an even width and height";
        return false;
    }
    cfg = std::move(next);
    return true;
}

bool parse_picture_fault(const std::vector<std::string>& words, PictureFault& out, std::string& error) {
    if (words.empty()) {
        error = "no fault given";
        return false;
    }
    PictureFault f;
    const std::string& kind = words[0];
    uint64_t a = 0, b = 0;
    const auto arity = [&](size_t n) {
        if (words.size() == n + 1) return true;
        error = kind + " takes " + std::to_string(n) + " argument(s)";
        return false;
    };
    if (kind == "none") {
        if (!arity(0)) return false;
    } else if (kind == "silent" || kind == "noimage") {
        if (!arity(0)) return false;
        f.kind = kind == "silent" ? PictureFault::Kind::silent : PictureFault::Kind::no_image;
    } else if (kind == "badlen" || kind == "badloc") {
        if (!arity(1)) return false;
        f.kind = kind == "badlen" ? PictureFault::Kind::bad_length : PictureFault::Kind::bad_location;
        f.text = words[1];
    } else if (kind == "lead") {
        if (!arity(1)) return false;
        if (!from_hex(words[1], f.text) || f.text.empty()) {
            error = "lead takes hex bytes";
            return false;
        }
        f.kind = PictureFault::Kind::lead;
    } else if (kind == "cut") {
        if (!arity(1) || !parse_uint(words[1], 1u << 30, a)) {
            if (error.empty()) error = "cut takes a byte count";
            return false;
        }
        f.kind = PictureFault::Kind::cut;
        f.at = static_cast<size_t>(a);
    } else if (kind == "pause") {
        if (!arity(2) || !parse_uint(words[1], 1u << 30, a) || !parse_uint(words[2], 3600000, b)) {
            if (error.empty()) error = "pause takes a byte count and milliseconds";
            return false;
        }
        f.kind = PictureFault::Kind::pause;
        f.at = static_cast<size_t>(a);
        f.delay = std::chrono::milliseconds(b);
    } else {
        error = "unknown fault '" + kind + "'";
        return false;
    }
    out = f;
    return true;
}

}  // namespace qvsim

#include "engine/image_reply.h"

#include <cstring>
#include <limits>
#include <string_view>

namespace qv {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Leading decimal digits of a text as an int32; false when there is none or
// the value does not fit.
bool LeadingInt32(std::string_view s, int32_t* out) {
    size_t n = 0;
    int64_t v = 0;
    while (n < s.size() && IsDigit(s[n])) {
        v = v * 10 + (s[n] - '0');
        if (v > std::numeric_limits<int32_t>::max()) return false;
        ++n;
    }
    if (n == 0) return false;
    *out = static_cast<int32_t>(v);
    return true;
}

bool IsCompleteFrame(const char* data, size_t len) {
    return len >= kReplyPrefixLen + 2 && std::memcmp(data, kReplyPrefix, kReplyPrefixLen) == 0 &&
           data[len - 2] == ';' &&
           static_cast<uint8_t>(data[len - 1]) == 0x03;
}

}  // namespace

bool PictureSizeUsable(int64_t width, int64_t height) {
    return width >= 1 && height >= 1 && width <= kMaxPicturePixels && height <= kMaxPicturePixels &&
           width * height <= kMaxPicturePixels;
}

bool ParsePicSizeReply(const char* reply, size_t len, int32_t* width, int32_t* height) {
    const std::string_view text(reply, len);
    const size_t word = text.find("IMGGWH");
    if (word == std::string_view::npos) return false;
    const std::string_view rest = text.substr(word + 6);
    const size_t w = rest.find('W');
    const size_t h = rest.find('H');
    if (w == std::string_view::npos || h == std::string_view::npos || h < w) return false;
    int32_t wv = 0;
    int32_t hv = 0;
    if (!LeadingInt32(rest.substr(0, w), &wv) || !LeadingInt32(rest.substr(w + 1, h - w - 1), &hv)) return false;
    if (!PictureSizeUsable(wv, hv)) return false;
    *width = wv;
    *height = hv;
    return true;
}

int32_t ColorTypeFromReply(const char* reply, size_t len) {
    // Prefix, one byte, at least the value, status, ';' 03.
    if (len < kReplyValueOffset + 4 || !IsCompleteFrame(reply, len)) return 0;
    if (static_cast<uint8_t>(reply[len - 3]) != 0x06) return 1;
    switch (reply[len - 4]) {
        case '0': return 1;
        case '1': return 2;
        default: return 0;
    }
}

LocationParse ParseBarcodeLocation(const char* text, size_t avail, STImgResolution out[4], size_t* consumed) {
    STImgResolution found[4] = {};
    int group = 0;
    bool wantWidth = true;   // the next letter must be 'W' (else 'H')
    bool wantBar = false;    // after an 'H' of groups 1-3: spaces, then '|'
    bool digits = false;
    int64_t value = 0;
    for (size_t i = 0; i < avail; ++i) {
        const char c = text[i];
        if (c == ' ') continue;
        if (wantBar) {
            if (c != '|') return LocationParse::malformed;
            wantBar = false;
            continue;
        }
        if (IsDigit(c)) {
            value = value * 10 + (c - '0');
            if (value > std::numeric_limits<int32_t>::max()) return LocationParse::malformed;
            digits = true;
            continue;
        }
        if (!digits || c != (wantWidth ? 'W' : 'H')) return LocationParse::malformed;
        if (wantWidth) {
            found[group].width = static_cast<int32_t>(value);
        } else {
            found[group].height = static_cast<int32_t>(value);
            if (++group == 4) {
                std::memcpy(out, found, sizeof found);
                *consumed = i + 1;
                return LocationParse::complete;
            }
            wantBar = true;
        }
        wantWidth = !wantWidth;
        digits = false;
        value = 0;
    }
    return LocationParse::incomplete;
}

bool ParseImageLength(const char* field, uint32_t* length) {
    uint32_t v = 0;
    for (size_t i = 0; i < kImageLengthDigits; ++i) {
        const char c = field[i];
        uint32_t d;
        if (c >= '0' && c <= '9') {
            d = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            d = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            d = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        v = (v << 4) | d;
    }
    *length = v;
    return true;
}

}  // namespace qv

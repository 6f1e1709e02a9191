#include "engine/image_reply.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "core/errors.h"
#include "core/log.h"
#include "engine/stream_splitter.h"

namespace qv {
namespace {

constexpr char kPrefix[6] = {0x02, 0x01, 0x30, 0x30, 0x30, 0x30};
constexpr size_t kPrefixLen = sizeof kPrefix;
// Prefix and the one byte before the echoed command.
constexpr size_t kEchoOffset = 7;
// Status, ';' and 0x03 after the image.
constexpr size_t kSuffixLen = 3;
constexpr size_t kLengthFieldLen = 8;
// The reader's buffer until the length is known (the header is short); then
// it grows once to the whole reply.
constexpr size_t kHeadCapacity = 0x10000;
// Capability values above this stand for "too big to match anything".
constexpr int64_t kValueCeiling = int64_t{1} << 40;
constexpr size_t kRegionDigits = 16;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool AllDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), IsDigit);
}

// Decimal value of a digit text, saturated at kValueCeiling.
int64_t DigitsValue(std::string_view s) {
    int64_t v = 0;
    for (char c : s) {
        v = v * 10 + (c - '0');
        if (v >= kValueCeiling) return kValueCeiling;
    }
    return v;
}

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
    return len >= kPrefixLen + 2 && std::memcmp(data, kPrefix, kPrefixLen) == 0 && data[len - 2] == ';' &&
           static_cast<uint8_t>(data[len - 1]) == 0x03;
}

// The pieces of one capability section: split at '.', else ',', else '|'.
std::vector<std::string_view> SectionPieces(std::string_view section) {
    char sep = '|';
    if (section.find('.') != std::string_view::npos) {
        sep = '.';
    } else if (section.find(',') != std::string_view::npos) {
        sep = ',';
    }
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        const size_t at = section.find(sep, start);
        if (at == std::string_view::npos) {
            pieces.push_back(section.substr(start));
            return pieces;
        }
        pieces.push_back(section.substr(start, at - start));
        start = at + 1;
    }
}

void LogNotNumber(std::string_view piece) {
    QV_LOG("%s %d [%.*s] is not number", "CheckImgParamAndCreateCmd", __LINE__, static_cast<int>(piece.size()),
           piece.data());
}

void LogRangeNotNumber(std::string_view m, std::string_view n) {
    QV_LOG("%s %d [%.*s] or [%.*s] is not number", "CheckImgParamAndCreateCmd", __LINE__,
           static_cast<int>(m.size()), m.data(), static_cast<int>(n.size()), n.data());
}

// Four 4-digit fields of a 16-digit text.
void RegionFields(std::string_view digits, int32_t out[4]) {
    for (int k = 0; k < 4; ++k) out[k] = static_cast<int32_t>(DigitsValue(digits.substr(4 * k, 4)));
}

// One section of the letters T, R, F, Q, I, A into `list`.
bool ParseValueSection(std::string_view section, ImgCapabilities::List* list) {
    for (std::string_view piece : SectionPieces(section)) {
        const size_t dash = piece.find('-');
        if (dash == std::string_view::npos) {
            if (!AllDigits(piece)) {
                LogNotNumber(piece);
                return false;
            }
            const int64_t v = DigitsValue(piece);
            list->push_back({v, v});
            continue;
        }
        const std::string_view m = piece.substr(0, dash);
        const std::string_view n = piece.substr(dash + 1);
        if (!AllDigits(m) || !AllDigits(n)) {
            LogRangeNotNumber(m, n);
            return false;
        }
        const int64_t lo = DigitsValue(m);
        const int64_t hi = DigitsValue(n);
        if (lo <= hi) list->push_back({lo, hi});
    }
    return true;
}

// The B section: exactly one range of two 16-digit texts.
bool ParseRegionSection(std::string_view section, ImgCapabilities* caps) {
    const std::vector<std::string_view> pieces = SectionPieces(section);
    if (pieces.size() != 1) {
        LogNotNumber(section);
        return false;
    }
    const std::string_view piece = pieces[0];
    const size_t dash = piece.find('-');
    if (dash == std::string_view::npos) {
        LogNotNumber(piece);
        return false;
    }
    const std::string_view m = piece.substr(0, dash);
    const std::string_view n = piece.substr(dash + 1);
    if (!AllDigits(m) || !AllDigits(n) || m.size() != kRegionDigits || n.size() != kRegionDigits) {
        LogRangeNotNumber(m, n);
        return false;
    }
    RegionFields(m, caps->b);
    RegionFields(n, caps->b + 4);
    caps->hasB = true;
    return true;
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
    if (len < kEchoOffset + 4 || !IsCompleteFrame(reply, len)) return 0;
    if (static_cast<uint8_t>(reply[len - 3]) != 0x06) return 1;
    switch (reply[len - 4]) {
        case '0': return 1;
        case '1': return 2;
        default: return 0;
    }
}

bool ImgCapabilities::Allows(const List& list, int32_t value) {
    for (const Range& r : list) {
        if (value >= r.lo && value <= r.hi) return true;
    }
    return false;
}

bool ParseImgCapabilities(const char* reply, size_t len, ImgCapabilities* caps) {
    *caps = ImgCapabilities{};
    const std::string_view text(reply, len);
    // Prefix, the one byte and "IMGGET"; the '^' of the echo when it is there.
    size_t pos = 13;
    if (len > pos && text[pos] == '^') ++pos;
    if (pos > len) return false;
    static constexpr char kLetters[] = {'T', 'R', 'F', 'Q', 'I', 'A', 'B'};
    ImgCapabilities::List* lists[] = {&caps->t, &caps->r, &caps->f, &caps->q, &caps->i, &caps->a};
    for (size_t n = 0; n < sizeof kLetters; ++n) {
        const size_t k = text.find(kLetters[n], pos);
        if (k == std::string_view::npos) continue;  // the list stays empty
        const std::string_view section = text.substr(pos, k - pos);
        pos = k + 1;
        const bool ok = kLetters[n] == 'B' ? ParseRegionSection(section, caps) : ParseValueSection(section, lists[n]);
        if (!ok) return false;
    }
    return true;
}

int32_t BuildImgCommand(const ImgCapabilities& caps, const ImgParam& p, std::string* command) {
    if (!ImgCapabilities::Allows(caps.t, p.t)) return kErrParamT;
    if (!ImgCapabilities::Allows(caps.r, p.r)) return kErrParamR;
    if (!ImgCapabilities::Allows(caps.f, p.f)) return kErrParamF;
    std::string cmd = "IMGGET" + std::to_string(p.t) + "T" + std::to_string(p.r) + "R" + std::to_string(p.f) + "F";
    if (p.f == 2) {
        if (!ImgCapabilities::Allows(caps.q, p.q)) return kErrParamQ;
        cmd += std::to_string(p.q) + "Q";
    }
    if (!caps.i.empty()) {
        if (!ImgCapabilities::Allows(caps.i, p.i)) return kErrParamI;
        cmd += std::to_string(p.i) + "I";
    }
    if (p.f == 4) {
        if (!ImgCapabilities::Allows(caps.a, p.a)) return kErrParamA;
        cmd += std::to_string(p.a) + "A";
    }
    const std::string_view region(p.b, strnlen(p.b, sizeof p.b));
    if (caps.hasB && !region.empty()) {
        if (region.size() != kRegionDigits || !AllDigits(region)) return kErrParamB;
        int32_t f[4];
        RegionFields(region, f);
        const int32_t x = f[0], y = f[1], x2 = f[0] + f[2], y2 = f[1] + f[3];
        const int32_t* b = caps.b;
        if (x < b[0] || x > b[4] || y < b[1] || y > b[5] || x2 < b[2] || x2 > b[6] || y2 < b[3] || y2 > b[7])
            return kErrParamB;
        cmd.append(region);
        cmd += "B";
    }
    *command = std::move(cmd);
    return kOk;
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
    for (size_t i = 0; i < kLengthFieldLen; ++i) {
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

ImageReplyReader::ImageReplyReader(Setup setup) : setup_(std::move(setup)) {}

void ImageReplyReader::Reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (fill_ != 0) std::memcpy(grown.get(), buf_.get(), fill_);
    buf_ = std::move(grown);
    capacity_ = capacity;
}

char* ImageReplyReader::Room(size_t* room) {
    if (lengthKnown_) {
        Reserve(end_);
        *room = std::min(end_ - fill_, kChunk);
    } else {
        Reserve(kHeadCapacity);
        *room = std::min(capacity_ - fill_, kChunk);
    }
    return buf_.get() + fill_;
}

ImageReplyReader::State ImageReplyReader::Commit(size_t n, std::string* outside) {
    fill_ += n;
    if (!started_) {
        const std::string_view held(buf_.get(), fill_);
        size_t start = held.find(std::string_view(kPrefix, kPrefixLen));
        if (start == std::string_view::npos) {
            // Keep the longest tail that may be the prefix cut by a chunk boundary.
            size_t keep = std::min(fill_, kPrefixLen - 1);
            while (keep > 0 && std::memcmp(buf_.get() + fill_ - keep, kPrefix, keep) != 0) --keep;
            start = fill_ - keep;
        } else {
            started_ = true;
            QV_LOG("%s %d prefixIndex=%d", "ReadImage", __LINE__, static_cast<int>(start));
        }
        if (start != 0) {
            outside->append(buf_.get(), start);
            std::memmove(buf_.get(), buf_.get() + start, fill_ - start);
            fill_ -= start;
        }
        if (!started_) return state_;
    }
    state_ = Examine();
    return state_;
}

ImageReplyReader::State ImageReplyReader::Examine() {
    const size_t fieldStart = kEchoOffset + setup_.command.size();  // D
    const size_t errorLen = fieldStart + kSuffixLen;                // E
    if (!lengthKnown_) {
        // An error reply is E bytes long; until E bytes are here nothing can be decided.
        if (fill_ < errorLen) return State::needMore;
        const char* b = buf_.get();
        if (std::memcmp(b + kEchoOffset, setup_.word.data(), std::min<size_t>(setup_.word.size(), 6)) == 0 &&
            IsStatusByte(static_cast<uint8_t>(b[errorLen - 3])) && b[errorLen - 2] == ';' &&
            static_cast<uint8_t>(b[errorLen - 1]) == 0x03) {
            end_ = errorLen;
            return State::noImage;
        }
        size_t field = fieldStart;
        if (setup_.location) {
            const size_t avail = std::min(fill_, fieldStart + kLocationTextLimit) - fieldStart;
            size_t used = 0;
            const LocationParse lp = ParseBarcodeLocation(b + fieldStart, avail, locations_, &used);
            if (lp == LocationParse::malformed) return State::locationError;
            if (lp == LocationParse::incomplete) {
                return avail >= kLocationTextLimit ? State::locationError : State::needMore;
            }
            field += used;
        }
        lengthField_ = field;
        if (fill_ < field + kLengthFieldLen) return State::needMore;
        uint32_t length = 0;
        if (!ParseImageLength(b + field, &length) || length == 0 || length > setup_.maxLength) {
            return State::lengthError;
        }
        length_ = length;
        imageStart_ = field + kLengthFieldLen;
        end_ = imageStart_ + length + kSuffixLen;
        lengthKnown_ = true;
        QV_LOG("[%s][%d]szLen=%s, devImgLen=%d\n", "ReadImage", __LINE__, LengthText().c_str(),
               static_cast<int>(length));
    }
    return fill_ >= end_ ? State::complete : State::needMore;
}

uint64_t ImageReplyReader::ReplyLimit() const {
    return kEchoOffset + setup_.command.size() + (setup_.location ? kLocationTextLimit : 0) + kLengthFieldLen +
           setup_.maxLength + kSuffixLen;
}

bool ImageReplyReader::ExpectedEnd(uint64_t* lo, uint64_t* hi) const {
    if (setup_.expectedLength == 0) return false;
    const uint64_t field = lengthField_ != 0 ? lengthField_ : kEchoOffset + setup_.command.size();
    *lo = field + kLengthFieldLen + setup_.expectedLength + kSuffixLen;
    *hi = *lo + (lengthField_ == 0 && setup_.location ? kLocationTextLimit : 0);
    return true;
}

std::string_view ImageReplyReader::Trailing() const {
    if ((state_ != State::complete && state_ != State::noImage) || fill_ <= end_) return {};
    return std::string_view(buf_.get() + end_, fill_ - end_);
}

std::string ImageReplyReader::LengthText() const {
    if (!started_ || lengthField_ == 0 || fill_ < lengthField_) return {};
    return std::string(buf_.get() + lengthField_, std::min(kLengthFieldLen, fill_ - lengthField_));
}

uint8_t ImageReplyReader::Last(size_t back) const {
    const size_t end = state_ == State::complete ? end_ : fill_;
    return back >= 1 && back <= end ? static_cast<uint8_t>(buf_[end - back]) : 0;
}

}  // namespace qv

#include "engine/image_capabilities.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "core/errors.h"
#include "core/log.h"

namespace qv {
namespace {

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

}  // namespace qv

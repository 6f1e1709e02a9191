// The hex text of the hex exports: validation and decoding against a plain
// reference, and neither function reads past maxLen or past the zero byte.
//
// Input: [mode] [text...]
//   mode bit 0 = 0: the text lies in a buffer of exactly maxLen bytes with no
//                   zero after it, maxLen = text length - (mode >> 1) (at least 0);
//   mode bit 0 = 1: the text up to its first zero byte (one is added when it has
//                   none) in a buffer that ends with that zero; maxLen is
//                   unlimited, or the text length + (mode >> 1) when bit 1 is set.
// A read outside the buffer is a heap-buffer-overflow for AddressSanitizer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/hex_text.h"
#include "fuzz_check.h"

namespace {

int DigitValue(char c) {
    static const char kDigits[] = "0123456789abcdef";
    static const char kUpper[] = "ABCDEF";
    if (c == '\0') return -1;
    if (const char* p = std::strchr(kDigits, c)) return static_cast<int>(p - kDigits);
    if (const char* p = std::strchr(kUpper, c)) return 10 + static_cast<int>(p - kUpper);
    return -1;
}

struct Expected {
    bool valid = false;
    size_t digits = 0;
    std::vector<char> bytes;
};

// The characters before maxLen and before the first zero: valid when they are
// spaces and hex digits only, with a non-zero even number of digits; decoding
// pairs the digits in order and drops an odd last one.
Expected Reference(const std::string& text, size_t maxLen) {
    std::string seen = text.substr(0, std::min(maxLen, text.size()));
    seen = seen.substr(0, seen.find('\0'));
    Expected e;
    std::vector<int> digits;
    bool onlyDigitsAndSpaces = true;
    for (char c : seen) {
        const int v = DigitValue(c);
        if (v >= 0) {
            digits.push_back(v);
        } else if (c != ' ') {
            onlyDigitsAndSpaces = false;
        }
    }
    e.valid = onlyDigitsAndSpaces && !digits.empty() && digits.size() % 2 == 0;
    e.digits = digits.size();
    for (size_t i = 0; i + 1 < digits.size(); i += 2) e.bytes.push_back(static_cast<char>(digits[i] * 16 + digits[i + 1]));
    return e;
}

void Check(const char* buf, size_t maxLen, const std::string& text, bool defaultLimit) {
    const Expected e = Reference(text, maxLen);
    const bool valid = defaultLimit ? qv::IsValidHexText(buf) : qv::IsValidHexText(buf, maxLen);
    const std::vector<char> bytes = defaultLimit ? qv::DecodeHexText(buf) : qv::DecodeHexText(buf, maxLen);
    QV_FUZZ_CHECK(valid == e.valid, "validity %d, expected %d", valid, e.valid);
    QV_FUZZ_CHECK(bytes == e.bytes, "decoded %zu bytes, expected %zu", bytes.size(), e.bytes.size());
    QV_FUZZ_CHECK(!valid || bytes.size() * 2 == e.digits, "a valid text of %zu digits decoded to %zu bytes",
                  e.digits, bytes.size());

    // What decodes encodes back to a valid text of the same bytes.
    if (!bytes.empty()) {
        std::string again;
        for (char b : bytes) {
            char pair[4];
            std::snprintf(pair, sizeof pair, (again.size() % 3 == 0) ? "%02X " : "%02x", static_cast<uint8_t>(b));
            again += pair;
        }
        QV_FUZZ_CHECK(qv::IsValidHexText(again.c_str()), "re-encoded text is not valid");
        QV_FUZZ_CHECK(qv::DecodeHexText(again.c_str()) == bytes, "re-encoded text decodes differently");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    if ((mode & 1) == 0) {
        const size_t cut = mode >> 1;
        const size_t maxLen = cut < text.size() ? text.size() - cut : 0;
        // Exactly maxLen bytes; with maxLen 0 any read at all is outside.
        std::unique_ptr<char[]> buf(new char[maxLen]);
        std::memcpy(buf.get(), text.data(), maxLen);
        Check(buf.get(), maxLen, text, false);
    } else {
        const std::string terminated = text.substr(0, text.find('\0'));
        std::unique_ptr<char[]> buf(new char[terminated.size() + 1]);
        std::memcpy(buf.get(), terminated.c_str(), terminated.size() + 1);
        if (mode & 2) {
            Check(buf.get(), terminated.size() + (mode >> 2), terminated, false);
        } else {
            Check(buf.get(), static_cast<size_t>(-1), terminated, true);
        }
    }
    return 0;
}

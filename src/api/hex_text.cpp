#include "api/hex_text.h"

namespace qv {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool IsValidHexText(const char* text, size_t maxLen) {
    if (text == nullptr) return false;
    size_t digits = 0;
    for (size_t i = 0; i < maxLen && text[i] != '\0'; ++i) {
        if (text[i] == ' ') continue;
        if (HexValue(text[i]) < 0) return false;
        ++digits;
    }
    return digits != 0 && digits % 2 == 0;
}

std::vector<char> DecodeHexText(const char* text, size_t maxLen) {
    std::vector<char> out;
    if (text == nullptr) return out;
    int high = -1;
    for (size_t i = 0; i < maxLen && text[i] != '\0'; ++i) {
        const int v = HexValue(text[i]);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<char>((high << 4) | v));
            high = -1;
        }
    }
    return out;
}

}  // namespace qv

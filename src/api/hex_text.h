// Hexadecimal text as the hex exports take it: digits in pairs, spaces allowed
// anywhere, e.g. "7e 01 30 30".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qv {

// Valid when, with every space removed, the text is not empty, has an even
// number of characters and consists of hexadecimal digits only. Reads at most
// maxLen characters (stopping at a zero byte).
bool IsValidHexText(const char* text, size_t maxLen = static_cast<size_t>(-1));

// Decodes the digit pairs of a text (non-digit characters are skipped; the
// first digit of a pair is the high nibble). Reads at most maxLen characters.
std::vector<char> DecodeHexText(const char* text, size_t maxLen = static_cast<size_t>(-1));

}  // namespace qv

// Conversion of 24-bit pixel rows to the YUV 4:2:0 planes the scanner's
// decoder takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv {

enum Yuv420Result : int {
    kYuvOk = 0,
    kYuvOddSize = 1,    // width or height odd (or not positive)
    kYuvNoMemory = 2,
};

// Converts pixel rows of B, G, R triples (`stride` bytes per row, filler after
// the pixels) into a Y plane of width × |height| bytes and Cb, Cr planes of
// (width / 2) × (|height| / 2) bytes, all top row first. As in a bitmap file,
// a positive height means the rows are stored bottom row first, a negative one
// top row first. Per pixel, in float arithmetic truncated to an integer:
//   Y = 0.299 R + 0.587 G + 0.114 B
//   U = -0.1684 R - 0.3316 G + B / 2 + 128      (B / 2 in integers)
//   V = R / 2 - 0.4187 G - 0.0813 B + 128       (R / 2 in integers)
// Cb and Cr are the sums of the U (V) values of each 2 × 2 block, shifted
// right by 2. The caller gives at least stride × |height| bytes of rows.
int RgbToYuv420(int32_t width, int32_t height, const uint8_t* rows, size_t stride, std::vector<uint8_t>& y,
                std::vector<uint8_t>& cb, std::vector<uint8_t>& cr);

}  // namespace qv

// The picture of a decode upload: a bitmap file turned into the bytes the
// scanner's decoder takes, and the size it is announced with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace qv {

enum UploadMode : int32_t {
    kUploadGray = 1,    // 8-bit grey: an 8-bit file's pixels as stored, a 24-bit file converted to grey
    kUploadYuv420 = 2,  // an 8-bit file's pixels as stored, a 24-bit file as Y plane + Cb/Cr pairs
};

struct UploadImage {
    std::vector<uint8_t> bytes;  // what is sent: width × uploadHeight bytes
    uint16_t width = 0;
    uint16_t uploadHeight = 0;   // rows of grey, or height / 2 × 3 for YUV 4:2:0
    uint16_t bitCount = 0;       // of the file
    bool yuv = false;
};

// Builds the upload from the bytes of a bitmap file. Grey rows are packed
// (width bytes each, no filler) top row first; the YUV form is the Y plane
// (top row first) followed by the (Cb, Cr) pairs. False, with a short reason
// in *why, for anything that cannot be sent as it is: not an uncompressed 8-
// or 24-bit bitmap, no pixels, pixel rows beyond the end of the file, an odd
// width or height in the YUV form, a size the announce cannot carry (16-bit
// width and height), or no memory. For a 24-bit file in mode 2, ReadBmp24
// writes its messages to `messages`.
bool BuildUploadImage(const uint8_t* file, size_t size, int32_t mode, UploadImage* out, const char** why,
                      std::FILE* messages = stderr);

}  // namespace qv

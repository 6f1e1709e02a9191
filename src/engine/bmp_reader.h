// Reading the pixels of BMP files for the decode upload. Every function works
// on the bytes of a whole file already in memory and never reads outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace qv {

// What the two headers of a BMP file say, checked against the file's size.
struct BmpInfo {
    int32_t width = 0;
    int32_t height = 0;         // as stored: > 0 bottom-up rows, < 0 top-down rows
    uint16_t bitCount = 0;
    uint32_t compression = 0;
    uint32_t imageSize = 0;     // the info header's image size (informative only)
    uint32_t dataOffset = 0;    // where the pixel rows start
    uint32_t infoSize = 0;      // size of the info header (40 or more)
    uint64_t rows = 0;          // |height|
    uint64_t rowStride = 0;     // bytes per stored row: width × bits rounded up to 4 bytes
    bool topDown() const { return height < 0; }
    // Pixel rows as stored: rows × rowStride bytes from dataOffset.
    uint64_t pixelBytes() const { return rows * rowStride; }
};

// Reads the file header (type "BM", pixel-data offset) and the info header
// (at least 40 bytes). False when the file is too short for them, is not a
// bitmap, or has a negative width. Sizes are computed in 64 bits, so huge
// declared sizes cannot wrap; rowStride is 0 for bit counts of no use here.
bool ReadBmpHeaders(const uint8_t* file, size_t size, BmpInfo* info);

// True when the file holds every pixel row its headers declare, after the headers.
bool BmpHasPixelRows(const BmpInfo& info, size_t size);

// A 24-bit picture as read by ReadBmp24: rows in the file's order (bottom row
// first for a positive height), each `stride` bytes of B, G, R triples
// followed by filler.
struct Bmp24 {
    std::vector<uint8_t> pixels;
    int32_t width = 0;
    int32_t height = 0;  // as stored: negative for top-down rows
    size_t stride = 0;
};

// Reads an uncompressed 24-bit bitmap. Writes its diagnostics and its
// description of the picture to `messages` (standard error unless a caller,
// such as a fuzz harness, has a reason to look elsewhere). False when the
// file is not one or is shorter than the pixel rows it declares.
bool ReadBmp24(const uint8_t* file, size_t size, Bmp24* out, std::FILE* messages = stderr);
bool ReadBmp24(const char* fileName, Bmp24* out, std::FILE* messages = stderr);

// Grey value of one pixel of a 24-bit file.
uint8_t GrayOf(uint8_t b, uint8_t g, uint8_t r);

// The grey bytes of an uncompressed 24-bit bitmap whose headers `info` holds:
// width bytes per row, |height| rows, in the file's row order. False when the
// file does not hold the rows or memory runs out.
bool BmpToGray(const uint8_t* file, size_t size, const BmpInfo& info, std::vector<uint8_t>& out);

// The pixel bytes of an uncompressed 8-bit bitmap as stored (palette indices,
// the palette itself is not applied): width bytes per row, |height| rows, in
// the file's row order. False as BmpToGray.
bool Bmp8Rows(const uint8_t* file, size_t size, const BmpInfo& info, std::vector<uint8_t>& out);

// Reads a whole file; false when it cannot be opened or read, or memory runs out.
bool ReadWholeFile(const char* fileName, std::vector<uint8_t>& out);

}  // namespace qv

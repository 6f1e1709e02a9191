// Pictures as files (BMP, JPEG) and the colour conversion of YUV 4:2:0 frames.
// None of this touches a device.
//
// Pixel layouts the writers read (they read exactly these byte counts):
//   8-bit BMP    grey, top row first, `width` bytes per row (as a picture
//                fetch delivers it): width x height bytes. Each row is padded
//                to the BMP stride in the file.
//   24-bit BMP   the file's own pixel rows: bottom row first, B, G, R, rows
//                padded to stride = (3 x width + 3) / 4 x 4: height x stride bytes.
//   grey JPEG    grey, top row first, width x height bytes.
//   colour JPEG  bottom row first, B, G, R, 3 x width bytes per row, not padded.
// The colour conversion writes R, G, B: swap R and B before a 24-bit writer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// Bytes per BMP row: the row length rounded up to a multiple of 4.
uint64_t BmpStride(int64_t width, int bitCount);

// Writes a BMP file (bitCount 8 or 24). False with -1001 for a null name or
// pixels or a size or bit count out of range (also when the file would exceed
// 4 GiB); false when the file cannot be created or written.
bool SaveBmp(const char* fileName, const uint8_t* pixels, int32_t width, int32_t height, int32_t bitCount);

// JPEG quality of a save flag (10..13 grey, 20..23 colour): 30, 50, 80, 100;
// 0 for any other flag.
int JpegQuality(uint32_t flag);

// Writes a JPEG file through libjpeg (grey for flags 10..13, colour for
// 20..23). False with -1001 for bad arguments, with -1010 when the file cannot
// be created, false when libjpeg fails (for instance a side above 65500).
bool SaveJpeg(const char* fileName, const uint8_t* pixels, int32_t width, int32_t height, uint32_t flag);

// The save export's choice of writer by the last four characters of the name
// (case-sensitive): ".bmp" with bit count 8 or 24 (else -1008 and false at
// once), ".jpg" or "jpeg" with a flag of 10..13 or 20..23 (else -1009 and
// false at once); any other name writes nothing. A writer's failure, and any
// other name, set -1051; success empties the last error.
bool SavePicDataToFile(const char* fileName, const uint8_t* data, int32_t width, int32_t height, uint32_t flag);

// Rows of picture a YUV 4:2:0 frame of `rawHeight` rows holds: rawHeight x 2 / 3.
int32_t YuvPictureHeight(int32_t rawHeight);

// Converts a YUV 4:2:0 frame (width x rawHeight bytes: the luma rows, then
// one row of interleaved V, U pairs per two luma rows) into 24-bit R, G, B
// rows, bottom row first: exactly width x YuvPictureHeight(rawHeight) x 3
// bytes. The source must hold at least width x rawHeight bytes (more are
// ignored); the width must be even (one V, U pair per two columns) and the
// frame must have a luma row. Otherwise -1001 and false, nothing written.
bool ConvertImageColorSpace(const uint8_t* src, int32_t len, int32_t width, int32_t rawHeight, uint8_t* out);

}  // namespace qv

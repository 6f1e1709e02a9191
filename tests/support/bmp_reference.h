// Independent references for the decode upload's tests: the pixel formats
// computed straight from their formulas on pictures given top row first, BMP
// files written by Pillow, and hand-made BMP headers for bad input. Shares no
// code with the library or the simulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

// A picture, top row first: 3 bytes R, G, B per pixel, or 1 byte per pixel.
struct Picture {
    int width = 0;
    int height = 0;
    int channels = 3;
    std::vector<uint8_t> pixels;
};

// A picture of pseudo-random pixels (fixed by `seed`) with a few pure black
// and white pixels among them.
Picture MakePicture(int width, int height, int channels, uint32_t seed);

// Grey of each pixel of an RGB picture: int(0.587 G + 0.299 R + 0.114 B).
std::vector<uint8_t> ReferenceGray(const Picture& rgb);

// YUV 4:2:0 of an RGB picture with even sides: the Y plane, then the (Cb, Cr)
// pair of each 2 × 2 block, rows of blocks top first. Coefficient products are
// floats, sums are float, each value truncated; Cb/Cr = sum of four >> 2.
std::vector<uint8_t> ReferenceYuv420(const Picture& rgb);

// Writes `picture` as a BMP file with Pillow (/usr/bin/python3 and
// tests/support/bmp_writer.py). kind: "rgb", "grey", "palette16", "mono";
// topDown stores the rows top row first with a negative height. False with
// the writer's output in *why.
bool WriteBmpWithPil(const Picture& picture, const std::string& kind, bool topDown, const std::string& path,
                     std::string* why);

// The header fields of a hand-made BMP file.
struct BmpFields {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t infoSize = 40;
    uint32_t dataOffset = 54;
};

// A BMP file: the two headers as given, then `pixelBytes` bytes of pattern
// from the data offset on (from byte 54 when the offset lies inside the
// headers); the file ends there.
std::string HandMadeBmp(const BmpFields& fields, size_t pixelBytes);

bool WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

}  // namespace qvtest

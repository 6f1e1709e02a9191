// YUV 4:2:0 frames (luma rows, then rows of interleaved V, U pairs) into
// 24-bit R, G, B rows, bottom row first. Each term of the integer formulas
//   R = Y + (V - 128) * 140 / 100
//   G = Y + (4352 - 34 * U) / 100 + (9088 - 71 * V) / 100
//   B = Y + (U - 128) * 177 / 100
// (division truncating toward zero, results clamped to 0..255) depends on U
// or V alone, so it comes from a table.
#include <array>
#include <cstring>

#include "core/errors.h"
#include "engine/image_files.h"

namespace qv {
namespace {

struct Tables {
    std::array<int16_t, 256> rFromV;
    std::array<int16_t, 256> gFromU;
    std::array<int16_t, 256> gFromV;
    std::array<int16_t, 256> bFromU;
    // clamp[v + kClampBias] = v limited to 0..255, for every sum the terms can make.
    static constexpr int kClampBias = 512;
    std::array<uint8_t, 1536> clamp;
};

constexpr Tables MakeTables() {
    Tables t{};
    for (int c = 0; c < 256; ++c) {
        t.rFromV[c] = static_cast<int16_t>((c - 128) * 140 / 100);
        t.gFromU[c] = static_cast<int16_t>((4352 - 34 * c) / 100);
        t.gFromV[c] = static_cast<int16_t>((9088 - 71 * c) / 100);
        t.bFromU[c] = static_cast<int16_t>((c - 128) * 177 / 100);
    }
    for (int i = 0; i < static_cast<int>(t.clamp.size()); ++i) {
        const int v = i - Tables::kClampBias;
        t.clamp[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace

int32_t YuvPictureHeight(int32_t rawHeight) {
    return rawHeight <= 0 ? 0 : static_cast<int32_t>(int64_t{rawHeight} * 2 / 3);
}

bool ConvertImageColorSpace(const uint8_t* src, int32_t len, int32_t width, int32_t rawHeight, uint8_t* out) {
    const int32_t rows = YuvPictureHeight(rawHeight);
    if (src == nullptr || out == nullptr || len <= 0 || width <= 0 || rawHeight <= 0 || width % 2 != 0 ||
        rows == 0 || int64_t{width} * rawHeight > len) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    const size_t w = static_cast<size_t>(width);
    const uint8_t* clamp = kTables.clamp.data() + Tables::kClampBias;
    const size_t rowBytes = w * 3;
    // Luma rows j and j + 1 share their chroma row: its terms are looked up
    // once for both (a last row without a partner is done alone).
    for (int32_t j = 0; j < rows; j += 2) {
        const bool pair = j + 1 < rows;
        const uint8_t* y = src + static_cast<size_t>(j) * w;
        const uint8_t* yNext = pair ? y + w : y;
        const uint8_t* vu = src + w * static_cast<size_t>(rows + j / 2);
        uint8_t* o = out + static_cast<size_t>(rows - 1 - j) * rowBytes;
        // Row j + 1 lies one output row below row j (the output is bottom row first).
        uint8_t* oNext = pair ? o - rowBytes : o;
        for (size_t k = 0; k < w; k += 2, o += 6, oNext += 6) {
            const uint8_t v = vu[k];
            const uint8_t u = vu[k + 1];
            const int r = kTables.rFromV[v];
            const int g = kTables.gFromU[u] + kTables.gFromV[v];
            const int b = kTables.bFromU[u];
            const int y0 = y[k], y1 = y[k + 1], y2 = yNext[k], y3 = yNext[k + 1];
            o[0] = clamp[y0 + r];
            o[1] = clamp[y0 + g];
            o[2] = clamp[y0 + b];
            o[3] = clamp[y1 + r];
            o[4] = clamp[y1 + g];
            o[5] = clamp[y1 + b];
            oNext[0] = clamp[y2 + r];
            oNext[1] = clamp[y2 + g];
            oNext[2] = clamp[y2 + b];
            oNext[3] = clamp[y3 + r];
            oNext[4] = clamp[y3 + g];
            oNext[5] = clamp[y3 + b];
        }
    }
    return true;
}

}  // namespace qv

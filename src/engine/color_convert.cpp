// YUV 4:2:0 frames (luma rows, then rows of interleaved V, U pairs) into
// 24-bit R, G, B rows, bottom row first. Each term of the integer formulas
//   R = Y + (V - 128) * 140 / 100
//   G = Y + (4352 - 34 * U) / 100 + (9088 - 71 * V) / 100
//   B = Y + (U - 128) * 177 / 100
// (division truncating toward zero, results clamped to 0..255) depends on U
// or V alone, so it comes from a table.
//
// A pair of luma rows shares one chroma row. Its terms are looked up once and
// spread to every pixel; each row then gets its R, G and B values as rows of
// their own (16 pixels at a time with SSE2, which every x86-64 processor has:
// a 16-bit add, then a saturating pack that is the clamp to 0..255), and the
// three rows are woven into R, G, B triples.
#include <array>
#include <cstring>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QV_COLOR_SSE2 1
#endif

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

// out[i] = y[i] + term[i], limited to 0..255, for i < n.
void AddTerm(const uint8_t* y, const int16_t* term, size_t n, uint8_t* out) {
    size_t i = 0;
#ifdef QV_COLOR_SSE2
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + i));
        const __m128i t0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(term + i));
        const __m128i t1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(term + i + 8));
        const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(luma, zero), t0);
        const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(luma, zero), t1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
    }
#endif
    const uint8_t* clamp = kTables.clamp.data() + Tables::kClampBias;
    for (; i < n; ++i) out[i] = clamp[y[i] + term[i]];
}

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
    const size_t rowBytes = w * 3;
    // Per pixel: the three chroma terms of its pair; then one row of R, G, B.
    std::vector<int16_t> terms(w * 3);
    int16_t* rTerm = terms.data();
    int16_t* gTerm = rTerm + w;
    int16_t* bTerm = gTerm + w;
    std::vector<uint8_t> planes(w * 3);
    uint8_t* r = planes.data();
    uint8_t* g = r + w;
    uint8_t* b = g + w;
    for (int32_t j = 0; j < rows; ++j) {
        if (j % 2 == 0) {
            // One V, U pair per 2 x 2 pixels; the chroma row of luma rows j, j + 1.
            const uint8_t* vu = src + w * static_cast<size_t>(rows + j / 2);
            for (size_t k = 0; k < w; k += 2) {
                const uint8_t v = vu[k];
                const uint8_t u = vu[k + 1];
                rTerm[k] = rTerm[k + 1] = kTables.rFromV[v];
                gTerm[k] = gTerm[k + 1] = static_cast<int16_t>(kTables.gFromU[u] + kTables.gFromV[v]);
                bTerm[k] = bTerm[k + 1] = kTables.bFromU[u];
            }
        }
        const uint8_t* y = src + static_cast<size_t>(j) * w;
        AddTerm(y, rTerm, w, r);
        AddTerm(y, gTerm, w, g);
        AddTerm(y, bTerm, w, b);
        uint8_t* o = out + static_cast<size_t>(rows - 1 - j) * rowBytes;
        for (size_t k = 0; k < w; ++k, o += 3) {
            o[0] = r[k];
            o[1] = g[k];
            o[2] = b[k];
        }
    }
    return true;
}

}  // namespace qv

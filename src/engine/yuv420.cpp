#include "engine/yuv420.h"

#include <new>

namespace qv {
namespace {

// Products of each coefficient with 0..255, as float (built once per process).
struct CoefficientTables {
    float r299[256], g587[256], b114[256];
    float r1684[256], g3316[256], g4187[256], b0813[256];
    CoefficientTables() {
        for (int v = 0; v < 256; ++v) {
            r299[v] = static_cast<float>(0.299 * v);
            g587[v] = static_cast<float>(0.587 * v);
            b114[v] = static_cast<float>(0.114 * v);
            r1684[v] = static_cast<float>(0.1684 * v);
            g3316[v] = static_cast<float>(0.3316 * v);
            g4187[v] = static_cast<float>(0.4187 * v);
            b0813[v] = static_cast<float>(0.0813 * v);
        }
    }
};

const CoefficientTables& Tables() {
    static const CoefficientTables tables;
    return tables;
}

// Y of one B, G, R triple; adds its U and V to the block sums.
inline uint8_t Convert(const CoefficientTables& t, const uint8_t* p, int& uSum, int& vSum) {
    const uint8_t b = p[0], g = p[1], r = p[2];
    uSum += static_cast<int>(-t.r1684[r] - t.g3316[g] + static_cast<float>(b / 2) + 128.0f);
    vSum += static_cast<int>(static_cast<float>(r / 2) - t.g4187[g] - t.b0813[b] + 128.0f);
    return static_cast<uint8_t>(static_cast<int>(t.r299[r] + t.g587[g] + t.b114[b]));
}

}  // namespace

int RgbToYuv420(int32_t width, int32_t height, const uint8_t* rows, size_t stride, std::vector<uint8_t>& y,
                std::vector<uint8_t>& cb, std::vector<uint8_t>& cr) {
    const bool topDown = height < 0;
    const int64_t h64 = topDown ? -static_cast<int64_t>(height) : height;
    if (width <= 0 || h64 <= 0 || (width % 2) != 0 || (h64 % 2) != 0) return kYuvOddSize;
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(h64);
    try {
        y.resize(w * h);
        cb.resize((w / 2) * (h / 2));
        cr.resize((w / 2) * (h / 2));
    } catch (const std::bad_alloc&) {
        return kYuvNoMemory;
    }
    const CoefficientTables& t = Tables();
    // Output row o comes from stored row h - 1 - o (bottom-up) or o (top-down).
    auto source = [&](size_t o) { return rows + (topDown ? o : h - 1 - o) * stride; };
    for (size_t o = 0; o < h; o += 2) {
        const uint8_t* top = source(o);
        const uint8_t* bottom = source(o + 1);
        uint8_t* y0 = y.data() + o * w;
        uint8_t* y1 = y0 + w;
        uint8_t* cbRow = cb.data() + (o / 2) * (w / 2);
        uint8_t* crRow = cr.data() + (o / 2) * (w / 2);
        for (size_t x = 0; x < w; x += 2) {
            int u = 0, v = 0;
            y0[x] = Convert(t, top + 3 * x, u, v);
            y0[x + 1] = Convert(t, top + 3 * x + 3, u, v);
            y1[x] = Convert(t, bottom + 3 * x, u, v);
            y1[x + 1] = Convert(t, bottom + 3 * x + 3, u, v);
            cbRow[x / 2] = static_cast<uint8_t>(u >> 2);
            crRow[x / 2] = static_cast<uint8_t>(v >> 2);
        }
    }
    return kYuvOk;
}

}  // namespace qv

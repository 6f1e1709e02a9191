// BMP files: 8-bit grey with a grey-ramp palette, or 24-bit B, G, R.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/errors.h"
#include "core/log.h"
#include "engine/image_files.h"

namespace qv {
namespace {

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kPaletteSize = 256 * 4;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

uint64_t BmpStride(int64_t width, int bitCount) {
    return (static_cast<uint64_t>(width) * static_cast<uint64_t>(bitCount) / 8 + 3) / 4 * 4;
}

bool SaveBmp(const char* fileName, const uint8_t* pixels, int32_t width, int32_t height, int32_t bitCount) {
    if (fileName == nullptr || pixels == nullptr || width <= 0 || height <= 0 || (bitCount != 8 && bitCount != 24)) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    const uint64_t stride = BmpStride(width, bitCount);
    const uint32_t offBits = kFileHeaderSize + kInfoHeaderSize + (bitCount == 8 ? kPaletteSize : 0);
    const uint64_t imageSize = stride * static_cast<uint64_t>(height);
    if (offBits + imageSize > UINT32_MAX) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    std::unique_ptr<uint8_t[]> row;
    if (bitCount == 8) {
        row.reset(new (std::nothrow) uint8_t[stride]);
        if (!row) return false;
        std::memset(row.get(), 0, stride);
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName, "wb"));
    if (!file) {
        QV_LOG("%s %d cannot create %s\n", "SaveBmp", __LINE__, fileName);
        return false;
    }
    uint8_t head[kFileHeaderSize + kInfoHeaderSize + kPaletteSize] = {};
    head[0] = 'B';
    head[1] = 'M';
    Put32(head + 2, static_cast<uint32_t>(offBits + imageSize));
    Put32(head + 10, offBits);
    Put32(head + 14, kInfoHeaderSize);
    Put32(head + 18, static_cast<uint32_t>(width));
    Put32(head + 22, static_cast<uint32_t>(height));
    Put16(head + 26, 1);
    Put16(head + 28, static_cast<uint16_t>(bitCount));
    Put32(head + 34, static_cast<uint32_t>(imageSize));
    if (bitCount == 8) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint8_t* entry = head + kFileHeaderSize + kInfoHeaderSize + 4 * i;
            entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
        }
    }
    if (std::fwrite(head, 1, offBits, file.get()) != offBits) return false;
    if (bitCount == 24) {
        // The caller's bytes are the file's pixel rows already.
        if (std::fwrite(pixels, 1, imageSize, file.get()) != imageSize) return false;
    } else {
        // Rows of `width` bytes, top row first, become padded rows, bottom row first.
        for (int64_t k = 0; k < height; ++k) {
            std::memcpy(row.get(), pixels + static_cast<size_t>(height - 1 - k) * static_cast<size_t>(width),
                        static_cast<size_t>(width));
            if (std::fwrite(row.get(), 1, stride, file.get()) != stride) return false;
        }
    }
    return std::fclose(file.release()) == 0;
}

}  // namespace qv

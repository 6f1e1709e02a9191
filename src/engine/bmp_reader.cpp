#include "engine/bmp_reader.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace qv {
namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
constexpr uint16_t kBmpType = 0x4D42;  // "BM"

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// Bytes per stored row: width × bits, rounded up to whole 32-bit words.
uint64_t RowStride(int32_t width, uint16_t bitCount) {
    if (width < 0) return 0;
    return (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4;
}

// Reads all of an open file.
bool ReadStream(std::FILE* f, std::vector<uint8_t>& out) {
    out.clear();
    try {
        uint8_t chunk[65536];
        for (;;) {
            const size_t n = std::fread(chunk, 1, sizeof chunk, f);
            out.insert(out.end(), chunk, chunk + n);
            if (n < sizeof chunk) return std::ferror(f) == 0;
        }
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}

// Copies `width` bytes of each stored row (the filler at the end of a row is
// skipped), or the pixels of each row converted by `pixel`.
template <typename PerRow>
bool CopyRows(const uint8_t* file, size_t size, const BmpInfo& info, std::vector<uint8_t>& out, PerRow perRow) {
    if (info.width <= 0 || info.rows == 0 || !BmpHasPixelRows(info, size)) return false;
    const size_t width = static_cast<size_t>(info.width);
    try {
        out.resize(width * static_cast<size_t>(info.rows));
    } catch (const std::bad_alloc&) {
        return false;
    }
    const uint8_t* row = file + info.dataOffset;
    uint8_t* dst = out.data();
    for (uint64_t r = 0; r < info.rows; ++r, row += info.rowStride, dst += width) perRow(row, dst, width);
    return true;
}

}  // namespace

bool ReadBmpHeaders(const uint8_t* file, size_t size, BmpInfo* info) {
    if (file == nullptr || info == nullptr || size < kFileHeaderSize + kInfoHeaderSize) return false;
    if (Le16(file) != kBmpType) return false;
    BmpInfo in;
    in.dataOffset = Le32(file + 10);
    in.infoSize = Le32(file + 14);
    in.width = static_cast<int32_t>(Le32(file + 18));
    in.height = static_cast<int32_t>(Le32(file + 22));
    in.bitCount = Le16(file + 28);
    in.compression = Le32(file + 30);
    in.imageSize = Le32(file + 34);
    if (in.infoSize < kInfoHeaderSize || in.width < 0) return false;
    in.rows = in.height < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(in.height)) : static_cast<uint64_t>(in.height);
    in.rowStride = RowStride(in.width, in.bitCount);
    *info = in;
    return true;
}

bool BmpHasPixelRows(const BmpInfo& info, size_t size) {
    // The rows start after both headers and end inside the file (compared by
    // division: declared sizes may be anything).
    const uint64_t headers = kFileHeaderSize + static_cast<uint64_t>(info.infoSize);
    if (info.dataOffset < headers || info.dataOffset > size) return false;
    const uint64_t room = size - info.dataOffset;
    return info.rows == 0 || info.rowStride <= room / info.rows;
}

bool ReadBmp24(const uint8_t* file, size_t size, Bmp24* out, std::FILE* messages) {
    if (file == nullptr || out == nullptr) return false;
    if (size < kFileHeaderSize) {
        std::fprintf(messages, "\nError: Unable to read file header\n");
        return false;
    }
    const uint16_t type = Le16(file);
    if (type != kBmpType) {
        std::fprintf(messages, "\nError: Invalid bitmap file type: %X\n", type);
        return false;
    }
    if (size < kFileHeaderSize + kInfoHeaderSize || Le32(file + 14) < kInfoHeaderSize) {
        std::fprintf(messages, "\nError: Unable to read info header\n");
        return false;
    }
    const uint16_t bitCount = Le16(file + 28);
    if (bitCount != 24) {
        std::fprintf(messages, "\nError: Unsupported bitmap pixel format: %d\n", bitCount);
        return false;
    }
    const uint32_t compression = Le32(file + 30);
    if (compression != 0) {
        std::fprintf(messages, "\nError: Unsupported bitmap compression: %d\n", static_cast<int32_t>(compression));
        return false;
    }
    const int32_t width = static_cast<int32_t>(Le32(file + 18));
    const int32_t height = static_cast<int32_t>(Le32(file + 22));
    // In 64 bits: huge declared sizes are printed as declared, never wrapped.
    const uint64_t rows = height < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(height)) : static_cast<uint64_t>(height);
    const uint64_t columns = width < 0 ? 0 : static_cast<uint64_t>(width);
    const uint64_t padded = RowStride(width, 24) * rows;
    std::fprintf(messages, " Widht: %d;\t\t Height: %d;\n", width, height);
    std::fprintf(messages, height > 0 ? " DIB: Bottom-UP;" : " DIB: Top-Down;");
    std::fprintf(messages, "\t Image Size: %d;\n", static_cast<int32_t>(Le32(file + 34)));
    std::fprintf(messages, " Raw RGB Data: %llu;\t Adjusted RGB Data: %llu\n",
                 static_cast<unsigned long long>(columns * rows * 3), static_cast<unsigned long long>(padded));
    std::fprintf(messages, " Bitmap file size: %llu\n", static_cast<unsigned long long>(padded + 54));
    // A negative width has no pixel rows to read.
    BmpInfo info;
    if (!ReadBmpHeaders(file, size, &info) || !BmpHasPixelRows(info, size)) {
        std::fprintf(messages, "\nError: Unable to read RGB data\n");
        return false;
    }
    try {
        out->pixels.assign(file + info.dataOffset, file + info.dataOffset + info.pixelBytes());
    } catch (const std::bad_alloc&) {
        std::fprintf(messages, "Error: Out of memory");
        return false;
    }
    out->width = width;
    out->height = height;
    out->stride = static_cast<size_t>(info.rowStride);
    return true;
}

bool ReadBmp24(const char* fileName, Bmp24* out, std::FILE* messages) {
    if (fileName == nullptr || out == nullptr) return false;
    std::FILE* f = std::fopen(fileName, "rb");
    if (f == nullptr) {
        std::fprintf(messages, "\nError: Unable to open file %s\n", fileName);
        return false;
    }
    std::vector<uint8_t> bytes;
    const bool read = ReadStream(f, bytes);
    std::fclose(f);
    if (!read) {
        std::fprintf(messages, "\nError: Unable to read file header\n");
        return false;
    }
    return ReadBmp24(bytes.data(), bytes.size(), out, messages);
}

uint8_t GrayOf(uint8_t b, uint8_t g, uint8_t r) {
    return static_cast<uint8_t>(0.587 * g + 0.299 * r + 0.114 * b);
}

bool BmpToGray(const uint8_t* file, size_t size, const BmpInfo& info, std::vector<uint8_t>& out) {
    if (file == nullptr || info.bitCount != 24) return false;
    return CopyRows(file, size, info, out, [](const uint8_t* row, uint8_t* dst, size_t width) {
        for (size_t x = 0; x < width; ++x, row += 3) dst[x] = GrayOf(row[0], row[1], row[2]);
    });
}

bool Bmp8Rows(const uint8_t* file, size_t size, const BmpInfo& info, std::vector<uint8_t>& out) {
    if (file == nullptr || info.bitCount != 8) return false;
    return CopyRows(file, size, info, out, [](const uint8_t* row, uint8_t* dst, size_t width) {
        for (size_t x = 0; x < width; ++x) dst[x] = row[x];
    });
}

bool ReadWholeFile(const char* fileName, std::vector<uint8_t>& out) {
    if (fileName == nullptr) return false;
    std::FILE* f = std::fopen(fileName, "rb");
    if (f == nullptr) return false;
    const bool read = ReadStream(f, out);
    std::fclose(f);
    return read;
}

}  // namespace qv

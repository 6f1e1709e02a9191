#include "engine/upload_image.h"

#include <cstring>
#include <new>

#include "engine/bmp_reader.h"
#include "engine/yuv420.h"

namespace qv {
namespace {

constexpr uint64_t kMaxAnnounced = 0xFFFF;  // width and height travel as 16-bit numbers

bool Refuse(const char** why, const char* reason) {
    if (why != nullptr) *why = reason;
    return false;
}

// Puts rows stored bottom row first into top-row-first order, in place.
void FlipRows(std::vector<uint8_t>& rows, size_t width, size_t height) {
    std::vector<uint8_t> line(width);
    for (size_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = rows.data() + top * width;
        uint8_t* b = rows.data() + bottom * width;
        std::memcpy(line.data(), a, width);
        std::memcpy(a, b, width);
        std::memcpy(b, line.data(), width);
    }
}

bool BuildGray(const uint8_t* file, size_t size, const BmpInfo& info, UploadImage* out, const char** why) {
    const bool read = info.bitCount == 8 ? Bmp8Rows(file, size, info, out->bytes)
                                         : BmpToGray(file, size, info, out->bytes);
    if (!read) return Refuse(why, "pixel rows beyond the end of the file, or no memory");
    if (!info.topDown()) FlipRows(out->bytes, static_cast<size_t>(info.width), static_cast<size_t>(info.rows));
    out->uploadHeight = static_cast<uint16_t>(info.rows);
    return true;
}

bool BuildYuv(const uint8_t* file, size_t size, UploadImage* out, const char** why, std::FILE* messages) {
    Bmp24 picture;
    if (!ReadBmp24(file, size, &picture, messages)) return Refuse(why, "not a readable 24-bit bitmap");
    if (picture.width == 0 || picture.height == 0) return Refuse(why, "no pixels");
    std::vector<uint8_t> y, cb, cr;
    const int rc = RgbToYuv420(picture.width, picture.height, picture.pixels.data(), picture.stride, y, cb, cr);
    if (rc == kYuvOddSize) return Refuse(why, "odd width or height");
    if (rc != kYuvOk) return Refuse(why, "no memory");
    const uint64_t height = picture.height < 0 ? -static_cast<int64_t>(picture.height) : picture.height;
    const uint64_t uploadHeight = height / 2 * 3;
    if (static_cast<uint64_t>(picture.width) > kMaxAnnounced || uploadHeight > kMaxAnnounced)
        return Refuse(why, "too large for the announce");
    try {
        out->bytes.resize(y.size() + 2 * cb.size());
    } catch (const std::bad_alloc&) {
        return Refuse(why, "no memory");
    }
    std::memcpy(out->bytes.data(), y.data(), y.size());
    uint8_t* pairs = out->bytes.data() + y.size();
    for (size_t i = 0; i < cb.size(); ++i) {
        pairs[2 * i] = cb[i];
        pairs[2 * i + 1] = cr[i];
    }
    out->width = static_cast<uint16_t>(picture.width);
    out->uploadHeight = static_cast<uint16_t>(uploadHeight);
    out->yuv = true;
    return true;
}

}  // namespace

bool BuildUploadImage(const uint8_t* file, size_t size, int32_t mode, UploadImage* out, const char** why,
                      std::FILE* messages) {
    if (out == nullptr || (mode != kUploadGray && mode != kUploadYuv420)) return Refuse(why, "bad mode");
    *out = UploadImage{};
    BmpInfo info;
    if (!ReadBmpHeaders(file, size, &info)) return Refuse(why, "not a bitmap");
    out->bitCount = info.bitCount;
    // 1- and 4-bit files have no form the scanner takes; 16- and 32-bit ones
    // would be sent as garbage.
    if (info.bitCount != 8 && info.bitCount != 24) return Refuse(why, "bit count other than 8 or 24");
    // ReadBmp24 checks a 24-bit file for the YUV form itself, and says why it refuses one.
    if (mode == kUploadYuv420 && info.bitCount == 24) return BuildYuv(file, size, out, why, messages);
    if (info.compression != 0) return Refuse(why, "compressed pixels");
    if (info.width == 0 || info.rows == 0) return Refuse(why, "no pixels");
    if (static_cast<uint64_t>(info.width) > kMaxAnnounced || info.rows > kMaxAnnounced)
        return Refuse(why, "too large for the announce");
    if (!BmpHasPixelRows(info, size)) return Refuse(why, "pixel rows beyond the end of the file");
    out->width = static_cast<uint16_t>(info.width);
    return BuildGray(file, size, info, out, why);
}

}  // namespace qv

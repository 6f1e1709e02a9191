// The bitmap readers of the decode upload on arbitrary file contents: the
// header reader, ReadBmp24, the grey and 8-bit row readers and the whole
// upload picture in both modes. AddressSanitizer catches any read outside the
// file (the input is an exact-size buffer); the checks hold the results to
// what the headers say.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "engine/bmp_reader.h"
#include "engine/upload_image.h"
#include "fuzz_check.h"

namespace {

std::FILE* g_quiet = nullptr;  // ReadBmp24's messages: one set per input would drown the fuzzer's output

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_quiet = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qv::BmpInfo info;
    const bool headers = qv::ReadBmpHeaders(data, size, &info);
    if (headers) {
        QV_FUZZ_CHECK(info.width >= 0 && info.infoSize >= 40, "width %d info %u", info.width, info.infoSize);
        std::vector<uint8_t> rows;
        if (qv::BmpToGray(data, size, info, rows) || qv::Bmp8Rows(data, size, info, rows)) {
            QV_FUZZ_CHECK(qv::BmpHasPixelRows(info, size), "rows read from a file that lacks them");
            QV_FUZZ_CHECK(rows.size() == static_cast<size_t>(info.width) * info.rows, "%zu rows bytes", rows.size());
        }
    }

    qv::Bmp24 picture;
    if (qv::ReadBmp24(data, size, &picture, g_quiet)) {
        QV_FUZZ_CHECK(headers && info.bitCount == 24 && info.compression == 0, "ReadBmp24 took a non-24-bit file");
        QV_FUZZ_CHECK(picture.pixels.size() == picture.stride * info.rows, "%zu pixel bytes", picture.pixels.size());
        QV_FUZZ_CHECK(picture.stride % 4 == 0 && picture.stride >= 3u * static_cast<size_t>(picture.width),
                      "stride %zu", picture.stride);
    }

    for (int32_t mode : {qv::kUploadGray, qv::kUploadYuv420}) {
        qv::UploadImage image;
        const char* why = "";
        if (!qv::BuildUploadImage(data, size, mode, &image, &why, g_quiet)) continue;
        QV_FUZZ_CHECK(headers && (info.bitCount == 8 || info.bitCount == 24) && info.compression == 0,
                      "bit count %u compression %u sent", info.bitCount, info.compression);
        QV_FUZZ_CHECK(image.width == static_cast<uint32_t>(info.width) && image.width > 0, "width %u", image.width);
        QV_FUZZ_CHECK(image.bytes.size() == static_cast<size_t>(image.width) * image.uploadHeight,
                      "%zu bytes for %u x %u", image.bytes.size(), image.width, image.uploadHeight);
        const bool yuv = mode == qv::kUploadYuv420 && info.bitCount == 24;
        QV_FUZZ_CHECK(image.yuv == yuv, "form");
        QV_FUZZ_CHECK(image.uploadHeight == (yuv ? info.rows / 2 * 3 : info.rows), "upload height %u",
                      image.uploadHeight);
        if (yuv) QV_FUZZ_CHECK(info.width % 2 == 0 && info.rows % 2 == 0, "odd sides sent as YUV");
    }
    return 0;
}

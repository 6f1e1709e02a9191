// JPEG files through libjpeg: grey pictures as they are, colour pictures
// (bottom row first, B, G, R) turned into R, G, B rows, top row first.
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <new>

#include <jpeglib.h>

#include "core/errors.h"
#include "core/log.h"
#include "engine/image_files.h"

namespace qv {
namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return:
// it jumps back to the compression, which then cleans up. Everything the
// cleanup needs lives here, outside the frame that calls setjmp.
struct JpegJob {
    jpeg_error_mgr err;
    std::jmp_buf jump;
    std::FILE* file = nullptr;
    const uint8_t* pixels = nullptr;
    uint8_t* rgbRow = nullptr;  // colour only: one converted row
    JDIMENSION width = 0;
    JDIMENSION height = 0;
    int components = 1;
    int quality = 0;
};

[[noreturn]] void OnJpegError(j_common_ptr cinfo) {
    JpegJob* job = reinterpret_cast<JpegJob*>(cinfo->err);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    QV_LOG("%s %d libjpeg: %s\n", "SaveJpeg", __LINE__, text);
    std::longjmp(job->jump, 1);
}

void OnJpegMessage(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    QV_LOG("%s %d libjpeg: %s\n", "SaveJpeg", __LINE__, text);
}

// Source row for scanline r (0 = top): colour rows are stored bottom row first.
const uint8_t* Scanline(JpegJob* job, JDIMENSION r) {
    const size_t rowBytes = static_cast<size_t>(job->width) * static_cast<size_t>(job->components);
    if (job->components == 1) return job->pixels + r * rowBytes;
    const uint8_t* bgr = job->pixels + static_cast<size_t>(job->height - 1 - r) * rowBytes;
    uint8_t* out = job->rgbRow;
    for (JDIMENSION x = 0; x < job->width; ++x, bgr += 3, out += 3) {
        out[0] = bgr[2];
        out[1] = bgr[1];
        out[2] = bgr[0];
    }
    return job->rgbRow;
}

// The compression proper. Its frame holds nothing that needs destroying, so
// a jump out of libjpeg back to the setjmp leaves nothing behind.
bool Compress(JpegJob* job) {
    jpeg_compress_struct cinfo;
    cinfo.err = jpeg_std_error(&job->err);
    job->err.error_exit = OnJpegError;
    job->err.output_message = OnJpegMessage;
    if (setjmp(job->jump) != 0) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, job->file);
    cinfo.image_width = job->width;
    cinfo.image_height = job->height;
    cinfo.input_components = job->components;
    cinfo.in_color_space = job->components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, job->quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(Scanline(job, cinfo.next_scanline));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

int JpegQuality(uint32_t flag) {
    if ((flag < 10 || flag > 13) && (flag < 20 || flag > 23)) return 0;
    static constexpr int kQuality[4] = {30, 50, 80, 100};
    return kQuality[flag % 10];
}

bool SaveJpeg(const char* fileName, const uint8_t* pixels, int32_t width, int32_t height, uint32_t flag) {
    const int quality = JpegQuality(flag);
    if (fileName == nullptr || pixels == nullptr || width <= 0 || height <= 0 || quality == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    JpegJob job;
    job.pixels = pixels;
    job.width = static_cast<JDIMENSION>(width);
    job.height = static_cast<JDIMENSION>(height);
    job.components = flag >= 20 ? 3 : 1;
    job.quality = quality;
    std::unique_ptr<uint8_t[]> rgbRow;
    if (job.components == 3) {
        rgbRow.reset(new (std::nothrow) uint8_t[static_cast<size_t>(width) * 3]);
        if (!rgbRow) return false;
        job.rgbRow = rgbRow.get();
    }
    job.file = std::fopen(fileName, "wb");
    if (job.file == nullptr) {
        SetLastErrorCode(kErrOpenJpeg);
        return false;
    }
    const bool compressed = Compress(&job);
    const bool closed = std::fclose(job.file) == 0;
    return compressed && closed;
}

}  // namespace qv

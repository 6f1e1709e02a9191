// The save export's choice of writer by the file name's ending.
#include <cstring>

#include "core/errors.h"
#include "engine/image_files.h"

namespace qv {
namespace {

bool EndsWith(const char* name, size_t len, const char* ending) {
    return len >= 4 && std::memcmp(name + len - 4, ending, 4) == 0;
}

}  // namespace

bool SavePicDataToFile(const char* fileName, const uint8_t* data, int32_t width, int32_t height, uint32_t flag) {
    const size_t len = std::strlen(fileName);
    bool saved = false;
    if (EndsWith(fileName, len, ".bmp")) {
        if (flag != 8 && flag != 24) {
            SetLastErrorCode(kErrBitDepth);
            return false;
        }
        saved = SaveBmp(fileName, data, width, height, static_cast<int32_t>(flag));
    } else if (EndsWith(fileName, len, ".jpg") || EndsWith(fileName, len, "jpeg")) {
        if (JpegQuality(flag) == 0) {
            SetLastErrorCode(kErrJpegFlag);
            return false;
        }
        saved = SaveJpeg(fileName, data, width, height, flag);
    }
    SetLastErrorCode(saved ? kOk : kErrSavePicture);
    return saved;
}

}  // namespace qv

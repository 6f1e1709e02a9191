// Picture exports: size and colour type, picture fetches, colour conversion
// and saving pictures as BMP or JPEG files.
#include <cstdint>
#include <cstring>

#include "api/export_guard.h"
#include "api/registry.h"
#include "core/errors.h"
#include "core/log.h"
#include "engine/image_files.h"
#include "engine/qvscan.h"
#include "quorvia.h"

using namespace qv;

extern "C" {

QV_API bool qv_GetPicSize(void* hDevice, int32_t* width, int32_t* height) try {
    QV_LOG("%s %d begin\n", "qv_GetPicSize", __LINE__);
    HandleUse use(hDevice);
    if (!use || width == nullptr || height == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    int32_t w = 0;
    int32_t h = 0;
    const bool ok = use.engine()->GetPicSize(use.record(), &w, &h);
    *width = ok ? w : 0;
    *height = ok ? h : 0;
    if (ok) SetLastErrorCode(kOk);
    QV_LOG("%s %d end isok=%d\n", "qv_GetPicSize", __LINE__, ok ? 1 : 0);
    return ok;
} QV_EXPORT_CATCH("qv_GetPicSize", false)

QV_API bool qv_GetPicDataByConfig(void* hDevice, ImgParam param, char* buffer, uint32_t* length,
                                  STImgResolution* imgR) try {
    QV_LOG("%s %d begin\n", "qv_GetPicDataByConfig", __LINE__);
    HandleUse use(hDevice);
    if (!use || buffer == nullptr || length == nullptr || *length == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    if (param.t == 2 && imgR == nullptr) {
        SetLastErrorCode(kErrNeedResolution);
        return false;
    }
    SetDeviceStatus(hDevice, QV_STATUS_IMAGE_BEGIN);
    const bool ok = use.engine()->GetPicData(use.record(), param, buffer, length, imgR);
    SetDeviceStatus(hDevice, QV_STATUS_IMAGE_END);
    if (ok) SetLastErrorCode(kOk);
    QV_LOG("%s %d end %d\n", "qv_GetPicDataByConfig", __LINE__, ok ? 1 : 0);
    return ok;
} QV_EXPORT_CATCH("qv_GetPicDataByConfig", false)

QV_API bool qv_GetPicData(void* hDevice, char* buffer, int32_t capacity) try {
    HandleUse use(hDevice);
    if (!use || buffer == nullptr || capacity <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    ImgParam param;
    std::memset(&param, 0, sizeof param);
    uint32_t length = static_cast<uint32_t>(capacity);
    SetDeviceStatus(hDevice, QV_STATUS_IMAGE_BEGIN);
    bool ok = use.engine()->GetPicData(use.record(), param, buffer, &length, nullptr);
    SetDeviceStatus(hDevice, QV_STATUS_IMAGE_END);
    if (length > static_cast<uint32_t>(capacity)) {
        SetLastErrorCode(kErrImageTooLong);
        ok = false;
    }
    if (ok) SetLastErrorCode(kOk);
    return ok;
} QV_EXPORT_CATCH("qv_GetPicData", false)

QV_API bool qv_GetRoiPicData(void* hDevice, RoiImgParam param, char* buffer, uint32_t* length) try {
    QV_LOG("%s %d begin\n", "qv_GetRoiPicData", __LINE__);
    // Negative values compare as large unsigned ones, so they are refused too.
    const bool valuesOk = param.P >= 0 && static_cast<uint32_t>(param.I) <= 99 && static_cast<uint32_t>(param.T) <= 1 &&
                          static_cast<uint32_t>(param.R) <= 2 && static_cast<uint32_t>(param.F) <= 1 &&
                          static_cast<uint32_t>(param.Q) <= 3;
    if (hDevice == nullptr || !valuesOk || buffer == nullptr || length == nullptr || *length == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    HandleUse use(hDevice);
    if (!use) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    SetDeviceStatus(hDevice, QV_STATUS_IMAGE_BEGIN);
    const bool ok = use.engine()->GetRoiPicData(use.record(), param, buffer, length);
    SetDeviceStatus(hDevice, QV_STATUS_IMAGE_END);
    if (ok) SetLastErrorCode(kOk);
    QV_LOG("%s %d end %d\n", "qv_GetRoiPicData", __LINE__, ok ? 1 : 0);
    return ok;
} QV_EXPORT_CATCH("qv_GetRoiPicData", false)

QV_API int32_t qv_GetDeviceImageColorType(void* hDevice, STImgResolution* size, int32_t* dataLength) try {
    QV_LOG("%s %d begin\n", "qv_GetDeviceImageColorType", __LINE__);
    HandleUse use(hDevice);
    if (!use || size == nullptr || dataLength == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    SetDeviceStatus(hDevice, QV_STATUS_COLOR_BEGIN);
    const int32_t colorType = use.engine()->GetImageColorType(use.record());
    int32_t w = 0;
    int32_t h = 0;
    if (!use.engine()->GetPicSize(use.record(), &w, &h)) return 0;
    const uint32_t uw = static_cast<uint32_t>(w);
    const uint32_t uh = static_cast<uint32_t>(h);
    if (colorType == QV_IMAGE_COLOR_YUV420) {
        // The raw frame is one and a half pictures high; the picture is 24-bit RGB.
        size->width = w;
        size->height = static_cast<int32_t>(uh * 2 / 3);
        *dataLength = static_cast<int32_t>(uw * uh * 2 / 3 * 3);
    } else {
        size->width = w;
        size->height = h;
        *dataLength = static_cast<int32_t>(uw * uh);
    }
    SetDeviceStatus(hDevice, QV_STATUS_COLOR_END);
    SetLastErrorCode(kOk);
    QV_LOG("%s %d end\n", "qv_GetDeviceImageColorType", __LINE__);
    return colorType;
} QV_EXPORT_CATCH("qv_GetDeviceImageColorType", 0)

QV_API bool qv_ConvertImageColorSpace(void* hDevice, const char* source, int32_t sourceLength, STImgResolution size,
                                      char* destination) try {
    QV_LOG("%s %d begin\n", "qv_ConvertImageColorSpace", __LINE__);
    HandleUse use(hDevice);
    if (!use || source == nullptr || sourceLength <= 0 || size.width <= 0 || size.height <= 0 ||
        destination == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    SetDeviceStatus(hDevice, QV_STATUS_CONVERT_BEGIN);
    const bool ok = use.engine()->ConvertImageColorSpace(source, sourceLength, size, destination);
    QV_LOG("[%s] ConvertImageColorSpace nRet=%d", "qv_ConvertImageColorSpace", ok ? 1 : 0);
    SetDeviceStatus(hDevice, QV_STATUS_CONVERT_END);
    if (ok) SetLastErrorCode(kOk);
    QV_LOG("%s %d end\n", "qv_ConvertImageColorSpace", __LINE__);
    return ok;
} QV_EXPORT_CATCH("qv_ConvertImageColorSpace", false)

QV_API bool qv_SavePicDataToFile(const char* fileName, const char* data, int32_t width, int32_t height,
                                 uint32_t flag) try {
    QV_LOG("%s %d begin\n", "qv_SavePicDataToFile", __LINE__);
    if (fileName == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    const bool ok = SavePicDataToFile(fileName, reinterpret_cast<const uint8_t*>(data), width, height, flag);
    QV_LOG("%s %d end\n", "qv_SavePicDataToFile", __LINE__);
    return ok;
} QV_EXPORT_CATCH("qv_SavePicDataToFile", false)

}  // extern "C"

// Network scanners as plain TCP peers: the TCP service, client connections,
// raw bytes on such a socket, and a picture fetched over one.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "api/export_guard.h"
#include "core/errors.h"
#include "core/log.h"
#include "engine/qvscan.h"
#include "network/tcp_service.h"
#include "quorvia.h"
#include "transport/network_communication.h"

using namespace qv;

namespace {

// The picture of a scanner on `socket`, fetched by a temporary engine on a
// temporary record; the socket stays open. False on any failure (the error
// text is the engine's).
int32_t NetImage(int32_t socket, int32_t t, int32_t r, int32_t f, int32_t q, char* out, uint32_t* length,
                 int32_t* type, int32_t* width, int32_t* height) {
    std::unique_ptr<T_DevicesInfo> record(new T_DevicesInfo);
    InitDeviceRecord(record.get());
    record->socket = socket;
    record->transportKind = kTransportNetwork;
    CQVScan engine(nullptr, nullptr, std::make_unique<CNetworkCommunication>());

    int32_t w = 0;
    int32_t h = 0;
    const bool sized = engine.GetPicSize(record.get(), &w, &h);
    QV_LOG("qv_GetPicSize isGetPicSizeOK=%d\n", sized ? 1 : 0);
    if (!sized || w <= 0 || h <= 0) return -1;
    QV_LOG("imgWidth=%d,imgHeight=%d\n", w, h);

    const uint64_t room = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 4;
    if (room > UINT32_MAX) {
        SetLastErrorCode(kErrImageSize);
        return -1;
    }
    std::vector<char> image(static_cast<size_t>(room));
    uint32_t imageLen = static_cast<uint32_t>(room);
    ImgParam param{};
    param.t = t;
    param.r = r;
    param.f = f;
    param.q = q;
    STImgResolution points[4] = {};
    const bool ok = engine.GetPicData(record.get(), param, image.data(), &imageLen, points);
    QV_LOG("%s %d isOK=%d\n", "qv_getNetImgData", __LINE__, ok ? 1 : 0);
    if (!ok) return -1;

    const int32_t colour = engine.GetImageColorType(record.get());
    QV_LOG("type=%d\n", colour);
    if (t == 2) {
        for (int k = 0; k < 4; ++k) QV_LOG("imgR[%d] width=%d height=%d\n", k, points[k].width, points[k].height);
    }
    // Copies the picture's bytes, as many as the caller's buffer holds.
    auto copy = [&](const char* bytes, uint32_t n) {
        if (n < *length) *length = n;
        std::memcpy(out, bytes, *length);
    };
    if (f != 0) {
        // A compressed picture: its bytes as they came.
        copy(image.data(), imageLen);
        *type = colour;
        *width = w;
        *height = colour == QV_IMAGE_COLOR_YUV420 ? h / 3 * 2 : h;
        return 0;
    }
    // Lower resolutions: half (R 1) or a quarter (R 2) of the width and height.
    if (r == 1) {
        w /= 2;
        h /= 2;
    } else if (r == 2) {
        w /= 4;
        h /= 4;
    }
    *width = w;
    if (colour == QV_IMAGE_COLOR_YUV420) {
        const uint64_t rgbLen = static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 2 / 3 * 3;
        std::vector<char> rgb(static_cast<size_t>(rgbLen));
        const STImgResolution size{w, h};
        if (rgbLen == 0 || !engine.ConvertImageColorSpace(image.data(), static_cast<int32_t>(imageLen), size,
                                                           rgb.data())) {
            return -1;
        }
        *height = static_cast<int32_t>(static_cast<uint64_t>(h) * 2 / 3);
        copy(rgb.data(), static_cast<uint32_t>(rgbLen));
        *type = QV_IMAGE_COLOR_YUV420;
        return 0;
    }
    *height = h;
    if (colour == QV_IMAGE_COLOR_GREY) {
        copy(image.data(), imageLen);
        *type = QV_IMAGE_COLOR_GREY;
    } else {
        // A colour type the library does not know: nothing to hand over.
        *length = 0;
        *type = colour;
    }
    return 0;
}

}  // namespace

extern "C" {

QV_API int32_t qv_CreateTcpService(int32_t port, QV_TCP_CLIENT_CALLBACK callback) try {
    return CreateTcpService(port, callback);
} QV_EXPORT_CATCH("qv_CreateTcpService", -1)

QV_API int32_t qv_ExitTcpService(void) try {
    return ExitTcpService();
} QV_EXPORT_CATCH("qv_ExitTcpService", 0)

QV_API int32_t qv_CloseClientSocket(int32_t* socket) try {
    return CloseClientSocket(socket);
} QV_EXPORT_CATCH("qv_CloseClientSocket", 0)

QV_API int32_t qv_connectToService(const char* ip, int32_t port, int32_t* socket) try {
    return ConnectToService(ip, port, socket);
} QV_EXPORT_CATCH("qv_connectToService", -1)

QV_API int32_t qv_sendDataToSocket(int32_t socket, const char* data, int32_t length) try {
    return SendDataToSocket(socket, data, length);
} QV_EXPORT_CATCH("qv_sendDataToSocket", -1)

QV_API int32_t qv_readFromSocket(int32_t socket, int32_t timeoutMs, char* buffer, int32_t* length) try {
    return ReadFromSocket(socket, timeoutMs, buffer, length);
} QV_EXPORT_CATCH("qv_readFromSocket", -1)

QV_API int32_t qv_getNetImgData(int32_t socket, int32_t t, int32_t r, int32_t f, int32_t q, char* buffer,
                                uint32_t* length, int32_t* imageType, int32_t* width, int32_t* height) try {
    QV_LOG("qv_getNetImgData begin");
    if (socket == -1 || buffer == nullptr || length == nullptr || *length == 0 || imageType == nullptr ||
        width == nullptr || height == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return -1;
    }
    if (!IsLibrarySocket(socket)) {
        SetLastErrorCode(kErrInvalidSocket);
        return -1;
    }
    const int32_t ret = NetImage(socket, t, r, f, q, buffer, length, imageType, width, height);
    QV_LOG("%s %d qv_getNetImgData end nRet=%d\n", "qv_getNetImgData", __LINE__, ret);
    if (ret == 0) SetLastErrorCode(kOk);
    return ret;
} QV_EXPORT_CATCH("qv_getNetImgData", -1)

}  // extern "C"

// Writes, commands, command/response exchanges and reads.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/errors.h"
#include "api/export_guard.h"
#include "api/hex_text.h"
#include "core/log.h"
#include "api/registry.h"
#include "engine/qvscan.h"
#include "quorvia.h"

namespace qv {
namespace {

constexpr uint32_t kMaxTransfer = 100000000;

// Image commands without a query character would start a transfer these
// exports cannot carry: refused when the data begins with IMGGET or IMGTGT and
// the seventh character is not '&', '*' or '^' (or there is none).
bool IsRefusedImageWrite(const char* data, uint32_t length) {
    if (length < 6) return false;
    if (std::memcmp(data, "IMGGET", 6) != 0 && std::memcmp(data, "IMGTGT", 6) != 0) return false;
    if (strnlen(data, length) == 6) return true;
    const char seventh = data[6];
    return seventh != '&' && seventh != '*' && seventh != '^';
}

// A command text (up to its zero byte or `length`) that names an image transfer
// without a query character anywhere.
bool IsRefusedImageCommand(const char* command, int32_t length) {
    std::string upper(command, strnlen(command, static_cast<size_t>(length)));
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.find("IMGGET") == std::string::npos && upper.find("IMGTGT") == std::string::npos) return false;
    return upper.find_first_of("*&^") == std::string::npos;
}

// qv_Write after its checks of the handle and the arguments: the image-command
// refusal, the status around the engine's write, the error text.
bool WriteThroughUse(const HandleUse& use, void* hDevice, const char* data, uint32_t length, bool framed) {
    if (IsRefusedImageWrite(data, length)) {
        SetLastErrorCode(kErrImageCommand);
        return false;
    }
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_BEGIN);
    const bool written = use.engine()->Write(use.record(), data, length, framed);
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_END);
    if (!written) return false;
    SetLastErrorCode(kOk);
    return true;
}

bool StartsWith(const char* data, size_t len, const char* prefix) {
    const size_t n = std::strlen(prefix);
    return len >= n && std::memcmp(data, prefix, n) == 0;
}

}  // namespace
}  // namespace qv

using namespace qv;

extern "C" {

QV_API bool qv_Write(void* hDevice, const char* data, uint32_t length, bool framed) try {
    HandleUse use(hDevice);
    if (!use) {
        SetLastErrorCode(kErrNotOpen);
        return false;
    }
    if (data == nullptr || length < 1 || length > kMaxTransfer) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    return WriteThroughUse(use, hDevice, data, length, framed);
} QV_EXPORT_CATCH("qv_Write", false)

QV_API bool qv_WriteAsHex(void* hDevice, const char* hexText, bool framed) try {
    // Held from the check to the last status: a close waits for it.
    HandleUse use(hDevice);
    if (!use || hexText == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    if (!IsValidHexText(hexText)) {
        SetLastErrorCode(kErrNotHex);
        return false;
    }
    std::vector<char> bytes;
    try {
        bytes = DecodeHexText(hexText);  // sized to the text: no fixed limit
    } catch (const std::bad_alloc&) {
        SetLastErrorCode(kErrNoMemory);
        return false;
    }
    if (bytes.size() > kMaxTransfer) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_BEGIN);
    const bool written = WriteThroughUse(use, hDevice, bytes.data(), static_cast<uint32_t>(bytes.size()), framed);
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_END);
    return written;
} QV_EXPORT_CATCH("qv_WriteAsHex", false)

QV_API int32_t qv_SendCommand(void* hDevice, const char* command, int32_t length) try {
    HandleUse use(hDevice);
    if (!use || command == nullptr || length <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return kCmdNotWritten;
    }
    if (IsRefusedImageCommand(command, length)) {
        SetLastErrorCode(kErrImageCommand);
        return kCmdEnq;
    }
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_BEGIN);
    const int32_t status = use.engine()->SendCommand(use.record(), command, length);
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_END);
    SetLastErrorCode(kOk);  // the status alone tells the outcome
    return status;
} QV_EXPORT_CATCH("qv_SendCommand", kCmdOther)  // out of memory

QV_API int32_t qv_SendCommandAsHex(void* hDevice, const char* hexText, int32_t length) try {
    HandleUse use(hDevice);
    if (!use || hexText == nullptr || length == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return kCmdNotWritten;
    }
    if (!IsValidHexText(hexText)) {
        SetLastErrorCode(kErrNotHex);
        return kCmdNotWritten;
    }
    std::vector<char> bytes;
    try {
        bytes = DecodeHexText(hexText);
    } catch (const std::bad_alloc&) {
        return kCmdOther;
    }
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_BEGIN);
    const int32_t status =
        use.engine()->SendHexCommand(use.record(), bytes.data(), static_cast<int32_t>(bytes.size()));
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_END);
    SetLastErrorCode(kOk);
    return status;
} QV_EXPORT_CATCH("qv_SendCommandAsHex", kCmdOther)  // out of memory

QV_API bool qv_GetCommandResponse(void* hDevice, const char* command, int32_t length, char* response,
                                  int32_t* responseLength, int32_t timeoutMs, bool framed, bool hex) try {
    HandleUse use(hDevice);
    if (!use || command == nullptr || response == nullptr || responseLength == nullptr || length <= 0 ||
        *responseLength <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    // Only the first `length` bytes of the command are ever read.
    std::vector<char> buffer;
    try {
        buffer.assign(static_cast<size_t>(length) + 1, '\0');
    } catch (const std::bad_alloc&) {
        SetLastErrorCode(kErrNoMemory);
        return false;
    }
    std::memcpy(buffer.data(), command, static_cast<size_t>(length));
    size_t len = static_cast<size_t>(length);
    if (hex) {
        if (!IsValidHexText(buffer.data())) {
            SetLastErrorCode(kErrNotHex);
            return false;
        }
        std::vector<char> decoded = DecodeHexText(buffer.data());
        std::fill(buffer.begin(), buffer.end(), '\0');
        std::memcpy(buffer.data(), decoded.data(), decoded.size());  // never longer than the text
        len = decoded.size();
    }
    const bool listening = HandleIsListening(hDevice);
    CQVScan* engine = use.engine();
    T_DevicesInfo* record = use.record();
    const char* buf = buffer.data();
    bool ok = false;
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_BEGIN);
    if (framed && len > 6 && (StartsWith(buf, len, "SCNTRG") || StartsWith(buf + 1, len - 1, "SCNTRG"))) {
        // A scan trigger answers with barcode data, not with a response frame.
        const size_t textLen = strnlen(buf, len);
        const char d = textLen > 0 ? buf[textLen - 1] : '\0';
        const char frame[16] = {0x7E, 0x01, '0', '0', '0', '0', '@', 'S', 'C', 'N', 'T', 'R', 'G', d, ';', 0x03};
        ok = engine->GetOtherResponse(record, frame, 16, response, responseLength, timeoutMs, listening);
    } else if (framed) {
        ok = engine->GetCommandResponse(record, buf, static_cast<int32_t>(len), response, responseLength,
                                        timeoutMs, true);
    } else if (!IsCompleteCommandFrame(buf, len) ||
               (len > 14 && std::memcmp(buf + 7, "SCNTRG", 6) == 0)) {
        ok = engine->GetOtherResponse(record, buf, static_cast<int32_t>(len), response, responseLength,
                                      timeoutMs, listening);
    } else {
        ok = engine->GetCommandResponse(record, buf, static_cast<int32_t>(len), response, responseLength,
                                        timeoutMs, false);
    }
    SetDeviceStatus(hDevice, QV_STATUS_WRITE_END);
    if (ok) SetLastErrorCode(kOk);
    return ok;
} QV_EXPORT_CATCH("qv_GetCommandResponse", false)

QV_API int32_t qv_Read(void* hDevice, char* buffer, uint32_t capacity, int32_t timeoutMs) try {
    HandleUse use(hDevice);
    if (!use || buffer == nullptr || capacity < 1 || capacity > kMaxTransfer) return 0;
    SetDeviceStatus(hDevice, QV_STATUS_READ_BEGIN);
    const int32_t n = use.engine()->ReadTransport(use.record(), buffer, capacity, timeoutMs);
    SetDeviceStatus(hDevice, QV_STATUS_READ_END);
    // A failed read keeps the transport's error text.
    if (n > 0) SetLastErrorCode(kOk);
    return n;
} QV_EXPORT_CATCH("qv_Read", 0)

QV_API bool qv_GetCodeData(void* hDevice, char* buffer, int32_t* length, int32_t timeoutMs) try {
    HandleUse use(hDevice);
    if (!use || buffer == nullptr || length == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    SetDeviceStatus(hDevice, QV_STATUS_READ_BEGIN);
    const bool ok = use.engine()->GetCodeData(use.record(), buffer, length, timeoutMs);
    SetDeviceStatus(hDevice, QV_STATUS_READ_END);
    if (ok) SetLastErrorCode(kOk);
    return ok;
} QV_EXPORT_CATCH("qv_GetCodeData", false)

}  // extern "C"

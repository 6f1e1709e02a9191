// The decode upload: a bitmap is converted into the scanner's pixel layout,
// announced, sent in raw chunks, and the decoded text and the decoding time
// are fetched with short byte-coded queries. Every exchange is unframed.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "core/log.h"
#include "engine/bmp_reader.h"
#include "engine/qvscan.h"
#include "engine/upload_image.h"

namespace qv {
namespace {

constexpr const char* kName = "qv_SendBmpDecode";
constexpr size_t kChunkSize = 8192;        // picture bytes per write
constexpr int kChunkPauseMs = 10;          // pause after each chunk: the scanner's receive rate
constexpr int32_t kReplyCapacity = 4096;   // reply buffer: up to 4095 bytes and a zero byte
constexpr int32_t kDefaultTimeoutMs = 2000;
constexpr uint8_t kAck = 0x06;

// Byte-coded messages.
constexpr char kResultReady[3] = {0x1B, static_cast<char>(0x99), 0x02};
constexpr char kFetchResult[1] = {0x06};
constexpr char kFetchTime[3] = {0x1B, static_cast<char>(0x99), 0x04};

void PutLe(char* p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// 1B 99 01, length (uint32), width (uint16), upload height (uint16).
void BuildAnnounce(const UploadImage& image, char (&out)[11]) {
    out[0] = 0x1B;
    out[1] = static_cast<char>(0x99);
    out[2] = 0x01;
    PutLe(out + 3, static_cast<uint32_t>(image.bytes.size()), 4);
    PutLe(out + 7, image.width, 2);
    PutLe(out + 9, image.uploadHeight, 2);
}

uint8_t FirstByte(bool ok, const std::vector<char>& reply, int32_t len) {
    return ok && len > 0 ? static_cast<uint8_t>(reply[0]) : 0;
}

}  // namespace

bool CQVScan::SendBmpDecode(T_DevicesInfo* device, int32_t mode, const char* fileName, char* text,
                            int32_t* textLen, uint32_t* decodeTimeMs, int32_t timeoutMs,
                            const DecodeStatusHook& status) {
    if (device == nullptr || fileName == nullptr || text == nullptr || textLen == nullptr ||
        decodeTimeMs == nullptr || (mode != kUploadGray && mode != kUploadYuv420)) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    // A silent scanner must not hold the device for ever: no time-out means the read default.
    const int32_t timeout = timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs;
    auto record = [&](int32_t value) {
        if (status) status(value);
    };

    WriteLog(kLogBoth, "%s %d bmpFileName=%s", kName, __LINE__, fileName);
    UploadImage image;
    {
        std::vector<uint8_t> file;
        if (!ReadWholeFile(fileName, file)) {
            WriteLog(kLogBoth, "%s %d cannot read %s", kName, __LINE__, fileName);
            return false;
        }
        const char* why = "";
        if (!BuildUploadImage(file.data(), file.size(), mode, &image, &why)) {
            WriteLog(kLogBoth, "%s %d bitmap not sent: %s", kName, __LINE__, why);
            return false;
        }
    }
    if (image.yuv) WriteLog(kLogBoth, "%s %d imgHeight=%d", kName, __LINE__, image.uploadHeight);
    WriteLog(kLogBoth, "%s %d imgWidth=%d, imgHeight=%d, biBitCount=%d", kName, __LINE__, image.width,
             image.uploadHeight, image.bitCount);

    std::vector<char> reply(kReplyCapacity);
    int32_t replyLen = kReplyCapacity;
    char announce[11];
    BuildAnnounce(image, announce);
    bool ok = GetOtherResponse(device, announce, sizeof announce, reply.data(), &replyLen, timeout, false);
    const uint8_t announced = FirstByte(ok, reply, replyLen);
    if (announced != kAck) {
        WriteLog(kLogBoth, "%s %d 1b9901 error resp[0]=%02x", kName, __LINE__, announced);
        return false;
    }
    WriteLog(kLogBoth, "%s %d 1b9901 succ", kName, __LINE__);

    record(QV_STATUS_WRITE_BEGIN);
    const char* data = reinterpret_cast<const char*>(image.bytes.data());
    for (size_t sent = 0; sent < image.bytes.size();) {
        const size_t n = std::min(kChunkSize, image.bytes.size() - sent);
        if (!Write(device, data + sent, static_cast<uint32_t>(n), false)) {
            record(QV_STATUS_WRITE_END);
            WriteLog(kLogBoth, "%s %d send pic error at %zu", kName, __LINE__, sent);
            return false;
        }
        sent += n;
        std::this_thread::sleep_for(std::chrono::milliseconds(kChunkPauseMs));
    }
    record(QV_STATUS_WRITE_END);
    WriteLog(kLogBoth, "%s %d send pic finish", kName, __LINE__);

    record(QV_STATUS_READ_BEGIN);
    std::fill(reply.begin(), reply.end(), '\0');
    int32_t got = 0;
    {
        std::lock_guard<std::mutex> lock(m_readDataMutex);
        got = ScntrgRead(device, reply.data(), kReplyCapacity, timeout);
    }
    record(QV_STATUS_READ_END);
    if (got <= 0) {
        WriteLog(kLogBoth, "%s %d onlyRead error", kName, __LINE__);
        return false;
    }
    if (static_cast<uint8_t>(reply[0]) != kAck) {
        WriteLog(kLogBoth, "%s %d send pic data error resp[0]=%02x", kName, __LINE__, static_cast<uint8_t>(reply[0]));
        return false;
    }
    WriteLog(kLogBoth, "%s %d send pic data succ", kName, __LINE__);

    replyLen = kReplyCapacity;
    ok = GetOtherResponse(device, kResultReady, sizeof kResultReady, reply.data(), &replyLen, timeout, false);
    bool ready = false;
    for (int32_t i = 0; ok && i < std::min(replyLen, 4); ++i) ready = ready || reply[static_cast<size_t>(i)] != 0;
    if (!ready) {
        WriteLog(kLogBoth, "%s %d 1b9902 error", kName, __LINE__);
        return false;
    }

    replyLen = kReplyCapacity;
    if (!GetOtherResponse(device, kFetchResult, sizeof kFetchResult, reply.data(), &replyLen, timeout, false)) {
        WriteLog(kLogBoth, "%s %d 06 error", kName, __LINE__);
        return false;
    }
    // A reply longer than the buffer keeps the capacity as its length: 4095 bytes were copied.
    const int32_t textBytes = std::min(replyLen, kReplyCapacity - 1);
    std::memcpy(text, reply.data(), static_cast<size_t>(textBytes));
    text[textBytes] = '\0';
    *textLen = textBytes;
    WriteLog(kLogBoth, "len=%d decode=%s", textBytes, text);

    replyLen = kReplyCapacity;
    ok = GetOtherResponse(device, kFetchTime, sizeof kFetchTime, reply.data(), &replyLen, timeout, false);
    if (!ok || replyLen < 4) {
        // A time that did not come whole is not reported.
        WriteLog(kLogBoth, "%s %d 1b9904 error len=%d", kName, __LINE__, ok ? replyLen : 0);
        return false;
    }
    uint32_t time = 0;
    for (int i = 3; i >= 0; --i) time = (time << 8) | static_cast<uint8_t>(reply[static_cast<size_t>(i)]);
    *decodeTimeMs = time;
    WriteLog(kLogBoth, "decode time=%d", static_cast<int>(time));
    return true;
}

}  // namespace qv

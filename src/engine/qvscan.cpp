#include "engine/qvscan.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/errors.h"
#include "core/log.h"

namespace qv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadScratch = 0x100000;    // one transport read in Read2
constexpr size_t kCodeReadScratch = 5120;    // one transport read in ScntrgRead / AsynRead
constexpr size_t kRead2QueueCap = 0xA00000;  // queue caps while Read2 routes
constexpr size_t kCodeQueueCap = 0x100000;   // queue caps while ScntrgRead / AsynRead route
constexpr size_t kCollectLimit = 0x100000;   // reply collection of the command exchanges
constexpr size_t kReadResponseLimit = 0x6400000;
constexpr size_t kCommandResponseMax = 100000;
constexpr size_t kCollectStep = 0x10000;     // bytes asked of Read2 / ScntrgRead per call
constexpr int32_t kCommandReadTimeoutMs = 2000;
constexpr int64_t kQuietMs = 51;

constexpr unsigned char kResponsePrefix[6] = {0x02, 0x01, 0x30, 0x30, 0x30, 0x30};
constexpr unsigned char kCommandPrefix[6] = {0x7E, 0x01, 0x30, 0x30, 0x30, 0x30};

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool EndsWithSuffix(const char* data, size_t len) {
    return len >= 2 && data[len - 2] == ';' && static_cast<uint8_t>(data[len - 1]) == 0x03;
}

// Status of a command reply: the first ';' whose preceding byte is not ACK
// decides (NAK 3, ENQ 2, anything else 4); no such ';' means accepted.
int32_t CommandStatusOf(const std::vector<char>& reply) {
    for (size_t i = 1; i < reply.size(); ++i) {
        if (reply[i] != ';') continue;
        const uint8_t before = static_cast<uint8_t>(reply[i - 1]);
        if (before == 0x06) continue;
        if (before == 0x15) return kCmdNak;
        if (before == 0x05) return kCmdEnq;
        return kCmdOther;
    }
    return kCmdAccepted;
}

}  // namespace

std::vector<char> BuildCommandFrame(const char* text, size_t length) {
    size_t len = text == nullptr ? 0 : strnlen(text, length);
    const char* body = text;
    if (len > 0 && body[len - 1] == ';') --len;
    char kind = '@';
    if (len > 0 && (body[0] == '@' || body[0] == '#')) {
        kind = body[0];
        ++body;
        --len;
    }
    std::vector<char> frame(len + 9);
    std::memcpy(frame.data(), kCommandPrefix, 6);
    frame[6] = kind;
    if (len != 0) std::memcpy(frame.data() + 7, body, len);
    frame[7 + len] = ';';
    frame[8 + len] = 0x03;
    return frame;
}

bool IsCompleteResponse(const char* data, size_t len) {
    return len >= 8 && std::memcmp(data, kResponsePrefix, 6) == 0 && EndsWithSuffix(data, len);
}

bool IsCompleteCommandFrame(const char* data, size_t len) {
    return len >= 9 && std::memcmp(data, kCommandPrefix, 6) == 0 && EndsWithSuffix(data, len);
}

CQVScan::CQVScan()
    : m_usbFactory(MakeDevicesFactory(kTransportUsb)),
      m_serialFactory(MakeDevicesFactory(kTransportSerial)),
      m_networkFactory(MakeDevicesFactory(kTransportNetwork)) {
    if (m_usbFactory) m_usb.reset(m_usbFactory->CreateCommunication());
    if (m_serialFactory) m_serial.reset(m_serialFactory->CreateCommunication());
    if (m_networkFactory) m_network.reset(m_networkFactory->CreateCommunication());
}

CQVScan::CQVScan(std::unique_ptr<CCommunicationFactory> usb, std::unique_ptr<CCommunicationFactory> serial,
                 std::unique_ptr<CCommunicationFactory> network)
    : m_usb(std::move(usb)), m_serial(std::move(serial)), m_network(std::move(network)) {}

CQVScan::~CQVScan() {
    // Transports first, then the factories that made them.
    m_usb.reset();
    m_serial.reset();
    m_network.reset();
}

CCommunicationFactory* CQVScan::Transport(int32_t kind) const {
    switch (kind) {
        case kTransportUsb: return m_usb.get();
        case kTransportSerial: return m_serial.get();
        case kTransportNetwork: return m_network.get();
        default: return nullptr;
    }
}

CCommunicationFactory* CQVScan::TransportFor(const T_DevicesInfo* device) const {
    return device == nullptr ? nullptr : Transport(device->transportKind);
}

void CQVScan::FreeBuffer(char** buffer) {
    if (buffer == nullptr) return;
    delete[] *buffer;
    *buffer = nullptr;
}

T_DevicesInfo* CQVScan::OpenDevice(T_DevicesInfo* list, uint32_t index) {
    if (list == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    CCommunicationFactory* t = TransportFor(&list[index]);
    if (t == nullptr) return nullptr;
    T_DevicesInfo* record = t->OpenDevice(list, index);
    if (record != nullptr) record->pScan = this;
    return record;
}

T_DevicesInfo* CQVScan::OpenDeviceForNati(T_DevicesInfo* entry) {
    if (entry == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    CCommunicationFactory* t = TransportFor(entry);
    if (t == nullptr) return nullptr;
    T_DevicesInfo* record = t->OpenDeviceForNati(entry);
    if (record != nullptr) record->pScan = this;
    return record;
}

void CQVScan::DrainBuffered(CCommunicationFactory* t, T_DevicesInfo* device) {
    if (m_readScratch.size() < kReadScratch) m_readScratch.resize(kReadScratch);
    ByteQueue staleReplies;
    for (;;) {
        const int32_t n = t->ReadBuffered(device, m_readScratch.data(), kCodeReadScratch);
        if (n <= 0) return;
        FrameRange r = SplitChunk(splitter, m_readScratch.data(), static_cast<size_t>(n));
        RouteChunk(m_readScratch.data(), static_cast<size_t>(n), r, codeQueue, staleReplies, kRead2QueueCap);
        staleReplies.clear();
        if (static_cast<size_t>(n) < kCodeReadScratch) return;  // nothing more was waiting
    }
}

bool CQVScan::WriteLocked(T_DevicesInfo* device, const char* data, uint32_t length, bool framed) {
    CCommunicationFactory* t = TransportFor(device);
    if (t == nullptr) return false;
    // The transport drops unread input before it writes, so that an old reply
    // cannot answer this write. Barcodes among that input are not old replies:
    // they are taken into the code queue first, and only reply bytes are dropped.
    DrainBuffered(t, device);
    if (!framed) return t->Write(device, data, length);
    std::vector<char> frame = BuildCommandFrame(data, length);
    return t->Write(device, frame.data(), static_cast<uint32_t>(frame.size()));
}

bool CQVScan::Write(T_DevicesInfo* device, const char* data, uint32_t length, bool framed) {
    if (device == nullptr || data == nullptr || length == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    return WriteLocked(device, data, length, framed);
}

void CQVScan::Cancel(T_DevicesInfo* device) {
    CCommunicationFactory* t = TransportFor(device);
    if (t != nullptr) t->Cancel(device);
}

int32_t CQVScan::ReadTransport(T_DevicesInfo* device, char* buffer, uint32_t size, int32_t timeoutMs) {
    if (device == nullptr || buffer == nullptr || size == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    CCommunicationFactory* t = TransportFor(device);
    if (t == nullptr) return 0;
    return t->Read(device, buffer, size, timeoutMs);
}

void CQVScan::RouteRead(const char* buf, size_t n, size_t cap) {
    FrameRange r = SplitChunk(splitter, buf, n);
    RouteChunk(buf, n, r, codeQueue, responseQueue, cap);
}

int32_t CQVScan::Read2(T_DevicesInfo* device, char* out, uint32_t capacity, int32_t timeoutMs) {
    if (device == nullptr || out == nullptr || capacity == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    // A reply another reader already routed is delivered without a new read.
    if (!responseQueue.empty()) return static_cast<int32_t>(responseQueue.pop(out, capacity));
    const uint32_t ask = static_cast<uint32_t>(std::min<size_t>(capacity, kReadScratch));
    // In raw mode every byte belongs to the reply: straight into the caller's buffer.
    if (splitter.rawMode) return ReadTransport(device, out, ask, timeoutMs);
    if (m_readScratch.size() < kReadScratch) m_readScratch.resize(kReadScratch);
    const auto start = Clock::now();
    for (;;) {
        int32_t n = ReadTransport(device, m_readScratch.data(), ask, timeoutMs);
        if (n < 1) return n;
        RouteRead(m_readScratch.data(), static_cast<size_t>(n), kRead2QueueCap);
        if (!responseQueue.empty()) return static_cast<int32_t>(responseQueue.pop(out, capacity));
        if (timeoutMs != 0 && MsSince(start) > timeoutMs) {
            QV_LOG("%s %d time out timeout=%d", "Read2", __LINE__, timeoutMs);
            return 0;
        }
    }
}

int32_t CQVScan::ScntrgRead(T_DevicesInfo* device, char* out, uint32_t capacity, int32_t timeoutMs) {
    if (device == nullptr || out == nullptr || capacity == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    if (!codeQueue.empty()) return static_cast<int32_t>(codeQueue.pop(out, capacity));
    if (m_readScratch.size() < kReadScratch) m_readScratch.resize(kReadScratch);
    const auto start = Clock::now();
    const uint32_t ask = static_cast<uint32_t>(std::min<size_t>(capacity, kCodeReadScratch));
    for (;;) {
        int32_t n = ReadTransport(device, m_readScratch.data(), ask, timeoutMs);
        if (n < 0) return n;
        if (n > 0) {
            RouteRead(m_readScratch.data(), static_cast<size_t>(n), kCodeQueueCap);
            if (!codeQueue.empty()) return static_cast<int32_t>(codeQueue.pop(out, capacity));
        }
        if (timeoutMs != 0 && MsSince(start) > timeoutMs) {
            QV_LOG("%s %d time out timeout=%d", "ScntrgRead", __LINE__, timeoutMs);
            return 0;
        }
    }
}

size_t CQVScan::CollectResponse(T_DevicesInfo* device, std::vector<char>& into, size_t limit,
                                int32_t timeoutMs, bool* lost) {
    size_t total = 0;
    *lost = false;
    while (total < limit) {
        const size_t room = std::min(limit - total, kCollectStep);
        into.resize(total + room);
        int32_t n = Read2(device, into.data() + total, static_cast<uint32_t>(room), timeoutMs);
        if (n < 0) *lost = true;
        if (n < 1) break;
        total += static_cast<size_t>(n);
        into.resize(total);
        if (IsCompleteResponse(into.data(), total)) break;
        SleepMs(10);
    }
    into.resize(total);
    return total;
}

void CQVScan::CopyReply(const std::vector<char>& reply, char* out, int32_t* outLen) {
    const size_t capacity = static_cast<size_t>(*outLen);
    const size_t copy = std::min(reply.size(), capacity - 1);
    if (copy != 0) std::memcpy(out, reply.data(), copy);
    out[copy] = '\0';
    if (reply.size() <= capacity - 1) *outLen = static_cast<int32_t>(reply.size());
}

int32_t CQVScan::SendCommand(T_DevicesInfo* device, const char* text, int32_t length) {
    if (device == nullptr || text == nullptr || length <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return kCmdNotWritten;
    }
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    responseQueue.clear();
    const bool written = WriteLocked(device, text, static_cast<uint32_t>(length), true);
    QV_LOG("[%s][%d] SendCommand Write isWrited = %d\n", "CQVScan::SendCommand", __LINE__, written ? 1 : 0);
    if (!written) return kCmdNotWritten;
    std::vector<char> reply;
    bool lost = false;
    try {
        CollectResponse(device, reply, kCollectLimit, kCommandReadTimeoutMs, &lost);
    } catch (const std::bad_alloc&) {
        return kCmdOther;
    }
    // A device lost (or a handle closed) before the reply was complete is no
    // silent device: nothing was accepted.
    if (lost && !IsCompleteResponse(reply.data(), reply.size())) {
        QV_LOG("[%s][%d] device lost before the reply\n", "CQVScan::SendCommand", __LINE__);
        return kCmdNotWritten;
    }
    return CommandStatusOf(reply);
}

int32_t CQVScan::SendHexCommand(T_DevicesInfo* device, const char* data, int32_t length) {
    if (device == nullptr || data == nullptr || length <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return kCmdNotWritten;
    }
    return SendCommand(device, data, length);
}

bool CQVScan::GetCommandResponse(T_DevicesInfo* device, const char* data, int32_t length, char* out,
                                 int32_t* outLen, int32_t readTimeoutMs, bool framed) {
    if (device == nullptr || data == nullptr || length <= 0 || out == nullptr || outLen == nullptr ||
        *outLen <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    QV_LOG("[%s][%d] m_readDataMutex locked\n", "CQVScan::GetCommandResponse", __LINE__);
    responseQueue.clear();
    const bool written = WriteLocked(device, data, static_cast<uint32_t>(length), framed);
    QV_LOG("[%s][%d] GetCommandResponse Write isWrited = %d\n", "CQVScan::GetCommandResponse", __LINE__,
           written ? 1 : 0);
    if (!written) {
        *outLen = 0;
        return false;
    }
    std::vector<char> reply;
    size_t total = 0;
    for (;;) {
        if (total > kCommandResponseMax) {
            QV_LOG("totalLen=%d read too long ...", static_cast<int>(total));
            *outLen = 0;
            return false;
        }
        const size_t room = std::min(kCollectLimit - total, kCollectStep);
        if (room == 0) break;
        reply.resize(total + room);
        int32_t n = Read2(device, reply.data() + total, static_cast<uint32_t>(room), readTimeoutMs);
        if (n < 1) {
            QV_LOG("error read2");
            *outLen = 0;
            return false;
        }
        total += static_cast<size_t>(n);
        reply.resize(total);
        if (IsCompleteResponse(reply.data(), total)) break;
    }
    reply.resize(total);
    QV_LOG("command return: %d", static_cast<int>(total));
    CopyReply(reply, out, outLen);
    const int shown = total > 6 ? static_cast<int>(total - 6) : 0;
    QV_LOG("%s %d response=%.*s", "CQVScan::GetCommandResponse", __LINE__, shown, reply.data() + (total > 6 ? 6 : 0));
    return true;
}

bool CQVScan::GetOtherResponse(T_DevicesInfo* device, const char* data, int32_t length, char* out,
                               int32_t* outLen, int32_t timeoutMs, bool writeOnly) {
    if (device == nullptr || data == nullptr || length <= 0 || out == nullptr || outLen == nullptr ||
        *outLen <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    const bool written = WriteLocked(device, data, static_cast<uint32_t>(length), false);
    if (writeOnly) {
        // The reply goes to whoever reads the stream (the listener); nothing came back here.
        *outLen = 0;
        return written;
    }
    if (!written) {
        *outLen = 0;
        return false;
    }
    std::vector<char> reply;
    size_t total = 0;
    const auto t0 = Clock::now();
    auto lastData = t0;
    bool got = false;
    bool ok = false;
    for (;;) {
        const size_t room = std::min(kCollectLimit - total, kCollectStep);
        if (room == 0) {
            ok = true;
            break;
        }
        reply.resize(total + room);
        int32_t n = ScntrgRead(device, reply.data() + total, static_cast<uint32_t>(room), 20);
        QV_LOG("bufLen=%d", n);
        if (n > 0) {
            lastData = Clock::now();
            total += static_cast<size_t>(n);
            reply.resize(total);
            got = true;
            SleepMs(10);
            continue;
        }
        reply.resize(total);
        if (n < 0) {
            // The device is gone (or its handle is closing): no point waiting
            // any longer; what already came is the reply.
            ok = got;
            break;
        }
        const bool quiet = MsSince(lastData) >= kQuietMs;
        if (got && quiet) {
            QV_LOG("%s %d receivedData%d=%.*s", "CQVScan::GetOtherResponse", __LINE__, timeoutMs != 0 ? 1 : 2,
                   static_cast<int>(total), reply.data());
            ok = true;
            break;
        }
        if (timeoutMs != 0 && !got && MsSince(t0) > timeoutMs) break;
        SleepMs(10);
    }
    reply.resize(total);
    if (!ok) {
        *outLen = 0;
        return false;
    }
    QV_LOG("command return: %d %d", static_cast<int>(total), *outLen);
    CopyReply(reply, out, outLen);
    return true;
}

int32_t CQVScan::ReadResponse(T_DevicesInfo* device, char* out, int32_t capacity, int32_t timeoutMs) {
    if (device == nullptr || out == nullptr || capacity <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    std::vector<char> reply;
    size_t total = 0;
    bool lost = false;
    try {
        total = CollectResponse(device, reply, kReadResponseLimit, timeoutMs, &lost);
    } catch (const std::bad_alloc&) {
        SetLastErrorCode(kErrNoMemory);
        return 0;
    }
    if (total > static_cast<size_t>(capacity)) {
        SetLastErrorCode(kErrLenNotEnough);
        return 0;
    }
    if (total != 0) std::memcpy(out, reply.data(), total);
    return static_cast<int32_t>(total);
}

int32_t CQVScan::AsynRead(T_DevicesInfo* device, char* out, uint32_t capacity, int32_t timeoutMs) {
    if (device == nullptr || out == nullptr || capacity == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    // Code data queued by earlier exchanges is delivered before anything newer.
    if (codeQueue.empty()) {
        if (m_readScratch.size() < kReadScratch) m_readScratch.resize(kReadScratch);
        const uint32_t ask = static_cast<uint32_t>(std::min<size_t>(capacity, kCodeReadScratch));
        int32_t n = ReadTransport(device, m_readScratch.data(), ask, timeoutMs);
        if (n < 0) return n;
        if (n > 0) RouteRead(m_readScratch.data(), static_cast<size_t>(n), kCodeQueueCap);
    }
    return static_cast<int32_t>(codeQueue.pop(out, capacity));
}

bool CQVScan::GetCodeData(T_DevicesInfo* device, char* out, int32_t* outLen, int32_t timeoutMs) {
    if (device == nullptr || out == nullptr || outLen == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    const size_t capacity =
        (*outLen > 0 && static_cast<size_t>(*outLen) <= kCollectLimit) ? static_cast<size_t>(*outLen) : kCollectLimit;
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    const auto t0 = Clock::now();
    size_t total = 0;
    bool got = false;
    bool lost = false;
    while (total < capacity) {
        int32_t n = ScntrgRead(device, out + total, static_cast<uint32_t>(capacity - total), 20);
        if (n > 0) {
            total += static_cast<size_t>(n);
            got = true;
            SleepMs(10);
            continue;
        }
        if (n < 0) {
            lost = true;
            break;
        }
        const int64_t t = MsSince(t0);
        if (got && t >= kQuietMs) break;
        if (static_cast<uint64_t>(t) > static_cast<uint32_t>(timeoutMs)) break;
        SleepMs(10);
    }
    *outLen = static_cast<int32_t>(total);
    // A lost device with nothing collected is a failure (the transport set the error).
    return !(lost && total == 0);
}

bool CQVScan::UpdateKernelDevice(T_DevicesInfo* device, const char* fileName, int32_t value, int32_t* result) {
    if (device == nullptr || fileName == nullptr || fileName[0] == '\0') {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    QV_LOG("UpdateKernelDevice strFileName=%s\n", fileName);
    CCommunicationFactory* t = TransportFor(device);
    if (t == nullptr) return false;
    // The update takes the device over: no exchange of this engine runs
    // meanwhile. Barcodes that arrived before it are kept for the caller; the
    // update drops whatever else is waiting.
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    DrainBuffered(t, device);
    return t->UpdateKernelDevice(device, fileName, value, result);
}

bool CQVScan::CloseDevice(T_DevicesInfo** device) {
    if (device == nullptr || *device == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return true;
    }
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    CCommunicationFactory* t = TransportFor(*device);
    bool ok = false;
    if (t != nullptr) {
        ok = t->CloseDevice(device);
        if (ok) *device = nullptr;
    }
    responseQueue.clear();
    codeQueue.clear();
    splitter = SplitterState{};
    QV_LOG("[%s] return", "CQVScan::CloseDevice");
    return ok;
}

void CQVScan::SetDevStatusCallback(T_DevicesInfo* device, QV_DEV_STATUS_CALLBACK callback) {
    CCommunicationFactory* t = TransportFor(device);
    if (t != nullptr) t->SetCbDevStatusChanged(device, callback);
}

void CQVScan::StopDevStatusCallback(T_DevicesInfo* device) {
    CCommunicationFactory* t = TransportFor(device);
    if (t != nullptr) t->StopCbDevStatusChanged(device);
}

size_t CQVScan::responseQueueSize() {
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    return responseQueue.size();
}

size_t CQVScan::codeQueueSize() {
    std::lock_guard<std::mutex> lock(m_readDataMutex);
    return codeQueue.size();
}

}  // namespace qv

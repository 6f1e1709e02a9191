#include "transport/network_communication.h"

#include <cstddef>
#include <cstring>
#include <exception>
#include <new>

#include "core/errors.h"
#include "core/log.h"
#include "firmware/file_name.h"
#include "network/net_connection.h"
#include "network/net_firmware_update.h"
#include "portstream/settings_file.h"

namespace qv {
namespace {

// The network block of a record, copied as one piece when an entry is opened:
// socket, tcpPort, ipAddress, serialNumber, macAddress, subNetmask, gatewayAddress.
constexpr size_t kNetworkBlockOffset = offsetof(T_DevicesInfo, socket);
constexpr size_t kNetworkBlockSize = offsetof(T_DevicesInfo, transportKind) - kNetworkBlockOffset;
static_assert(kNetworkBlockSize == 1544, "the network block of a record is 1544 bytes");

constexpr int kReconnectAttempts = 4;
constexpr int kReconnectPauseMs = 100;
// A peer that accepts every connection and drops it again must not hold a
// write or read for ever: reconnect-and-retry rounds per call.
constexpr int kReconnectRounds = 3;

bool Cancelled(const platform::CancelEvent* cancel) { return cancel != nullptr && cancel->Signalled(); }

}  // namespace

CNetworkCommunication::~CNetworkCommunication() = default;

T_DevicesInfo* CNetworkCommunication::EnumDevices(int32_t* count) {
    if (count == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    m_discovery.CreateBroadcastSockets();
    T_DevicesInfo* list = m_discovery.AddNetworkDevice(count);
    m_discovery.StopBroadcast();
    return list;
}

std::shared_ptr<platform::CancelEvent> CNetworkCommunication::CancelOf(const T_DevicesInfo* device) {
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    auto it = m_cancels.find(device);
    return it == m_cancels.end() ? nullptr : it->second;
}

T_DevicesInfo* CNetworkCommunication::OpenEntry(T_DevicesInfo* entry, const char* caller) {
    T_DevicesInfo* record = NewDeviceRecord();
    if (record == nullptr) {
        SetLastErrorCode(kErrNoMemory);
        return nullptr;
    }
    try {
        record->socket = platform::kNoSocket;
        record->pOpenStream = nullptr;
        record->pScan = nullptr;
        record->deviceCount = 0;
        record->index = 0;
        record->isAsynRead = kListenerIdle;
        record->listener = nullptr;
        if (entry->transportKind == kTransportNetwork) {
            std::memcpy(reinterpret_cast<char*>(record) + kNetworkBlockOffset,
                        reinterpret_cast<const char*>(entry) + kNetworkBlockOffset, kNetworkBlockSize);
            record->socket = platform::kNoSocket;
            std::memcpy(record->devInfo, entry->devInfo, sizeof record->devInfo);
            record->devInfo[sizeof record->devInfo - 1] = '\0';
        }
        record->transportKind = entry->transportKind;
        record->index = entry->index;

        auto cancel = std::make_shared<platform::CancelEvent>();
        if (!cancel->valid()) {
            SetLastErrorCode(kErrNoMemory);
            FreeDeviceRecord(record);
            return nullptr;
        }
        if (!ConnectToDevice(record)) {
            FreeDeviceRecord(record);
            return nullptr;
        }
        {
            std::lock_guard<std::mutex> lock(m_cancelMutex);
            m_cancels[record] = std::move(cancel);
        }
        entry->socket = record->socket;
        QV_LOG("[%s] -2- lpInfo=[%p],socket=%d", caller, static_cast<void*>(record), record->socket);
        return record;
    } catch (const std::exception& e) {
        QV_LOG("[%s] exception %s", caller, e.what());
        Disconnect(record);
        FreeDeviceRecord(record);
        SetLastErrorCode(kErrNoMemory);
        return nullptr;
    }
}

T_DevicesInfo* CNetworkCommunication::OpenDevice(T_DevicesInfo* list, uint32_t index) {
    if (list == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    return OpenEntry(&list[index], "CNetworkCommunication::OpenDevice");
}

T_DevicesInfo* CNetworkCommunication::OpenDeviceForNati(T_DevicesInfo* entry) {
    if (entry == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    return OpenEntry(entry, "CNetworkCommunication::OpenDeviceForNati");
}

int CNetworkCommunication::Reconnect(T_DevicesInfo* device, const platform::CancelEvent* cancel) {
    const platform::Socket old = device->socket;
    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        if (attempt > 1 &&
            platform::WaitCancelled(kReconnectPauseMs, cancel) == platform::WaitResult::kCancelled) {
            return 0;
        }
        if (Cancelled(cancel)) return 0;
        QV_LOG("[%s][%d] reconnect attempt %d socket=%d\n", "CNetworkCommunication::Reconnect", __LINE__, attempt,
               old);
        if (ConnectToDevice(device, cancel)) {
            // The dead connection stays open until the new one is in place, so
            // the record never holds a number that was closed.
            platform::CloseSocket(old);
            platform::StopNetwork();
            return attempt;
        }
    }
    return 0;
}

bool CNetworkCommunication::Write(T_DevicesInfo* device, const char* data, uint32_t length) {
    if (device == nullptr || data == nullptr || length == 0) return false;
    std::lock_guard<std::mutex> lock(ioMutex);
    const std::shared_ptr<platform::CancelEvent> cancel = CancelOf(device);
    for (int round = 0;; ++round) {
        if (Cancelled(cancel.get())) {
            SetLastErrorCode(kErrSendTcp);
            return false;
        }
        if (WriteNetworkData(device, data, length, cancel.get())) return true;
        if (device->socket == platform::kNoSocket || round == kReconnectRounds) return false;
        const int attempt = Reconnect(device, cancel.get());
        if (attempt == 0 || attempt == kReconnectAttempts) return false;
    }
}

int32_t CNetworkCommunication::Read(T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs) {
    std::lock_guard<std::mutex> lock(ioMutex);
    const std::shared_ptr<platform::CancelEvent> cancel = CancelOf(device);
    if (Cancelled(cancel.get())) {
        SetLastErrorCode(kErrDisconnected);
        return kNetReadFailed;
    }
    for (int round = 0;; ++round) {
        const int32_t n = ReadNetworkData(device, buffer, capacity, timeoutMs, cancel.get());
        if (n != kNetReadReset || device->socket == platform::kNoSocket || round == kReconnectRounds) return n;
        const int attempt = Reconnect(device, cancel.get());
        if (attempt == 0 || attempt == kReconnectAttempts) return n;
    }
}

int32_t CNetworkCommunication::ReadBuffered(T_DevicesInfo* device, char* buffer, uint32_t capacity) {
    if (device == nullptr || buffer == nullptr || capacity == 0) return 0;
    std::lock_guard<std::mutex> lock(ioMutex);
    if (device->transportKind != kTransportNetwork || device->socket == platform::kNoSocket) return -1;
    if (Cancelled(CancelOf(device).get())) return -1;
    const platform::ConnectionState state = platform::PeekConnection(device->socket);
    // A pending error is left for the next Read or Write to report (and to
    // reconnect); a peer that only closed has nothing waiting.
    if (state.errorPending) return -1;
    if (!state.readable) return 0;
    int err = 0;
    const int64_t n = platform::Receive(device->socket, buffer, capacity, &err);
    if (n >= 0) return static_cast<int32_t>(n);
    const platform::NetError kind = platform::ClassifyError(err);
    return kind == platform::NetError::kWouldBlock || kind == platform::NetError::kInterrupted ? 0 : -1;
}

void CNetworkCommunication::Cancel(T_DevicesInfo* device) {
    if (device == nullptr) return;
    // Not under ioMutex: a blocked Read or Write holds it.
    const std::shared_ptr<platform::CancelEvent> cancel = CancelOf(device);
    if (!cancel) return;
    // The socket is not read here: a reconnect may be replacing it.
    QV_LOG("[%s] cancel pDevice=[%p]", "CNetworkCommunication::Cancel", static_cast<void*>(device));
    cancel->Signal();
}

bool CNetworkCommunication::UpdateKernelDevice(T_DevicesInfo* device, const char* fileName, int32_t,
                                               int32_t* result) {
    if (device == nullptr || fileName == nullptr || fileName[0] == '\0') {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    std::lock_guard<std::mutex> lock(ioMutex);
    const std::shared_ptr<platform::CancelEvent> cancel = CancelOf(device);
    int32_t code = firmware::kFwCannotOpen;
    // The name in the process's code page (UTF-8 here) as UTF-16; a name that
    // is not valid UTF-8 names no file.
    std::u16string wide;
    if (firmware::Utf8ToUtf16(fileName, wide)) {
        firmware::FirmwareSettings settings;
        settings.sendIntervalMs = ReadSettingInt("main", "FUSendInterval", -1);
        settings.extraFlashSeconds = ReadSettingInt("main", "ExtraFlashSeconds", 0);
        settings.frameSize = ReadSettingInt("main", "FrameSize", 0);
        firmware::T_FirmwareProgress progress{};
        code = NetUpdateFirmwareFile(device, wide.c_str(), settings, cancel.get(), &progress);
    }
    // The code goes to the caller whatever it is: 0 tells a finished update.
    if (result != nullptr) *result = code;
    // The scanner restarts its application: a fresh connection to it, unless
    // the handle is being closed.
    Disconnect(device);
    if (!Cancelled(cancel.get()) && !ConnectToDevice(device, cancel.get())) {
        QV_LOG("[%s][%d] not connected again after the update\n", "CNetworkCommunication::UpdateKernelDevice",
               __LINE__);
    }
    // The update's failure is what the caller is told, not the reconnection's.
    if (code != firmware::kFwOk) SetLastErrorCode(kErrUpdateNet);
    QV_LOG("[%s][%d] return\n", "CNetworkCommunication::UpdateKernelDevice", __LINE__);
    return code == firmware::kFwOk;
}

bool CNetworkCommunication::CloseDevice(T_DevicesInfo** device) {
    if (device == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return true;
    }
    T_DevicesInfo* record = *device;
    QV_LOG("[%s] pDevice=[%p],socket=%d\n", "CNetworkCommunication::CloseDevice", static_cast<void*>(record),
           record != nullptr ? record->socket : -1);
    try {
        Disconnect(record);
    } catch (const std::exception& e) {
        QV_LOG("[%s] -2- e=%s\n", "CNetworkCommunication::CloseDevice", e.what());
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_cancels.erase(record);
    }
    // The record was made by this transport's open; nothing refers to it any more.
    if (record != nullptr) FreeDeviceRecord(record);
    *device = nullptr;
    return true;
}

void CNetworkCommunication::ResetDeviceMaps() {}

void CNetworkCommunication::SetCbDevStatusChanged(T_DevicesInfo*, QV_DEV_STATUS_CALLBACK) {}

void CNetworkCommunication::StopCbDevStatusChanged(T_DevicesInfo*) {}

CCommunicationFactory* CNetworkFactory::CreateCommunication() { return new (std::nothrow) CNetworkCommunication; }

}  // namespace qv

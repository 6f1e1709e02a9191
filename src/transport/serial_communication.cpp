#include "transport/serial_communication.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <new>

#include "core/errors.h"
#include "core/log.h"
#include "platform/device_changes.h"
#include "portstream/com_port_list.h"
#include "portstream/qvds.h"
#include "firmware/file_name.h"
#include "portstream/serial_detect.h"
#include "transport/stream_owners.h"
#include "transport/stream_firmware_update.h"

namespace qv {
namespace {

constexpr size_t kSettingsBlock = 16;  // SerialSettings and the reserved word behind it
constexpr int32_t kFirstWaitMs = 50;

// Every serial record opened by some transport, with a copy of its settings
// block, and the owners of the serial streams.
struct SerialRegistry {
    std::mutex mutex;
    std::map<T_DevicesInfo*, std::array<uint8_t, kSettingsBlock>> devSerialExistMap;
    // Records under hot-plug monitoring, each with a monitor of its own (which
    // keeps the record's online flag).
    std::map<T_DevicesInfo*, std::shared_ptr<HotplugMonitor>> serialMonitorMap;
    StreamOwners streams;
};

SerialRegistry& Registry() {
    static SerialRegistry* registry = new SerialRegistry;  // outlives detached threads at exit
    return *registry;
}

std::array<uint8_t, kSettingsBlock> SettingsBlock(const T_DevicesInfo* record) {
    std::array<uint8_t, kSettingsBlock> block{};
    std::memcpy(block.data(), &record->SerialSettings, kSettingsBlock);
    return block;
}

// The device path of COM port `com` in the current list ("" when none).
std::string ComPortPath(uint32_t com) {
    for (const platform::ComPortInfo& info : ListComPorts()) {
        if (info.number == com) return info.path;
    }
    return std::string();
}

}  // namespace

// A monitored COM port: present while its device path exists; reopened on its
// stream with the settings it was opened with; dropped by closing the stream.
// Reopen and drop run under the transport mutex, so they never overlap a
// write, read, update or close of the transport.
class SerialHotplugDevice final : public HotplugDevice {
public:
    SerialHotplugDevice(CSerialCommunication* transport, T_DevicesInfo* record)
        : transport_(transport), record_(record), settings_(record->SerialSettings),
          path_(ComPortPath(settings_.port_number)) {}

    std::vector<std::string> WatchedPaths() override {
        if (path_.empty()) return {};
        return {path_};
    }

    bool Present() override {
        // A port that was not in the list at the start is looked up again.
        if (path_.empty()) path_ = ComPortPath(settings_.port_number);
        return platform::DeviceNodePresent(path_);
    }

    bool Lost() override {
        // Not under the transport mutex: a Read may hold it for its whole
        // time-out; the stream answers this without a wait.
        QvdsStream* stream = static_cast<QvdsStream*>(record_->pOpenStream);
        return stream != nullptr && !qvds_cancelled(stream) && !qvds_is_open(stream);
    }

    bool Reopen(int retry) override {
        std::lock_guard<std::mutex> lock(transport_->m_mutex);
        QvdsStream* stream = static_cast<QvdsStream*>(record_->pOpenStream);
        if (stream == nullptr || qvds_cancelled(stream)) return false;
        if (retry == 0) QV_LOG("connect current device com=%d %d", settings_.port_number, 0);
        if (qvds_is_open(stream)) qvds_close(stream);
        uint32_t status = 0;
        const bool ok = qvds_open_com(stream, settings_.port_number, settings_.baudrate, settings_.databits,
                                      settings_.stopbits, settings_.parity, settings_.flowcontrol, &status);
        std::atomic_ref<uint32_t>(record_->streamError).store(status, std::memory_order_relaxed);
        if (!ok) {
            if (retry == 0) {
                QV_LOG("res=%d, err=%d\n", 0, static_cast<int>(status));
            } else {
                QV_LOG("reopen res=%d, err=%d\n", 0, static_cast<int>(status));
            }
            return false;
        }
        if (retry > 0) QV_LOG("reopen res=%d, err=%d\n", 1, static_cast<int>(status));
        QV_LOG("%s %d qvds_open_com res=%d\n", "usb_change", __LINE__, 1);
        return true;
    }

    void Drop() override {
        {
            std::lock_guard<std::mutex> lock(transport_->m_mutex);
            QV_LOG("remove current device com=%d %d", settings_.port_number, 1);
            QvdsStream* stream = static_cast<QvdsStream*>(record_->pOpenStream);
            if (stream != nullptr) qvds_close(stream);
            QV_LOG("%s\n", stream == nullptr || !qvds_is_open(stream) ? "succeed in closing the device"
                                                                       : "failed to close the device");
        }
        QV_LOG("%s %d qvds_close\n", "usb_change", __LINE__);
    }

    bool Cancelled() override {
        std::lock_guard<std::mutex> lock(transport_->m_mutex);
        QvdsStream* stream = static_cast<QvdsStream*>(record_->pOpenStream);
        return stream == nullptr || qvds_cancelled(stream);
    }

    // A port whose reopen failed five times stays offline until a later
    // device event.
    bool RetryOnNextLook() override { return false; }

private:
    CSerialCommunication* transport_;
    T_DevicesInfo* record_;
    const SerialSettings settings_;
    std::string path_;
};

size_t MonitoredSerialRecordCount() {
    SerialRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.serialMonitorMap.size();
}

size_t OpenSerialRecordCount() {
    SerialRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.devSerialExistMap.size();
}

CSerialCommunication::~CSerialCommunication() = default;

T_DevicesInfo* CSerialCommunication::EnumDevices(int32_t* count) {
    if (count == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    const int32_t mode = *count;
    if (mode != QVDS_ENUM_ALL && mode != QVDS_ENUM_USB_VCOM) return nullptr;
    QV_LOG("%s %d begin", "CSerialCommunication::EnumDevices", __LINE__);
    std::unique_ptr<SerialPortEntry[]> table(new SerialPortEntry[QVDS_MAX_PORTS]());
    int n = qvds_enum_serial_ports(table.get(), mode);
    QV_LOG("%s %d qvds_enum_serial_ports count_serial=%d", "CSerialCommunication::EnumDevices", __LINE__, n);
    qvds_detect_serial_settings(table.get(), n);
    QV_LOG("%s %d qvds_detect_serial_settings count_serial=%d", "CSerialCommunication::EnumDevices", __LINE__, n);
    int real = 0;
    for (int i = 0; i < n; ++i) {
        QV_LOG("%s %d serial_device[%d].port_number=%d serial_device[%d].baudrate=%d\n",
               "CSerialCommunication::EnumDevices", __LINE__, i, table[i].port_number, i,
               static_cast<int>(table[i].baudrate));
        if (table[i].baudrate != 0) ++real;
    }
    QV_LOG("%s %d realSerialCount=%d", "CSerialCommunication::EnumDevices", __LINE__, real);

    m_list.reset();
    *count = real;
    if (real == 0) return nullptr;
    m_list.reset(new (std::nothrow) T_DevicesInfo[static_cast<size_t>(real)]);
    if (!m_list) {
        *count = 0;
        SetLastErrorCode(kErrNoMemory);
        return nullptr;
    }
    int out = 0;
    for (int i = 0; i < n; ++i) {
        if (table[i].baudrate == 0) continue;
        T_DevicesInfo& rec = m_list[static_cast<size_t>(out++)];
        InitDeviceRecord(&rec);
        // Detection's stop bits and parity are not carried over: records open 8N1.
        rec.SerialSettings.port_number = table[i].port_number;
        rec.SerialSettings.baudrate = table[i].baudrate;
        rec.SerialSettings.databits = 8;
        rec.transportKind = kTransportSerial;
    }
    return m_list.get();
}

T_DevicesInfo* CSerialCommunication::OpenEntry(T_DevicesInfo* entry, const char* caller) {
    T_DevicesInfo* record = NewDeviceRecord();
    if (record == nullptr) {
        SetLastErrorCode(kErrNoMemory);
        return nullptr;
    }
    try {
        if (entry->transportKind == kTransportSerial) {
            std::memcpy(&record->SerialSettings, &entry->SerialSettings, kSettingsBlock);
            std::memcpy(record->devInfo, entry->devInfo, sizeof record->devInfo);
            record->devInfo[sizeof record->devInfo - 1] = '\0';
        }
        record->pOpenStream = entry->pOpenStream;
        record->transportKind = entry->transportKind;
        record->index = entry->index;

        bool opened = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            opened = OpenSerial(record);
        }
        if (!opened) {
            FreeDeviceRecord(record);
            return nullptr;
        }
        QV_LOG("[%s] OpenSerial succ", caller);
        entry->pOpenStream = record->pOpenStream;
        QV_LOG("[%s] -2- lpInfo=[%p],lpInfo->pOpenStream=[%p]", caller, static_cast<void*>(record),
               record->pOpenStream);
        return record;
    } catch (const std::exception& e) {
        QV_LOG("[%s] exception %s", caller, e.what());
        if (record->pOpenStream != nullptr && record->pOpenStream != entry->pOpenStream) {
            CloseSerial(record);
        }
        FreeDeviceRecord(record);
        return nullptr;
    }
}

T_DevicesInfo* CSerialCommunication::OpenDevice(T_DevicesInfo* list, uint32_t index) {
    if (list == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    QV_LOG("[%s][%d] pDeviceList[%u]=[%p]", "CSerialCommunication::OpenDevice", __LINE__, index,
           static_cast<void*>(&list[index]));
    return OpenEntry(&list[index], "CSerialCommunication::OpenDevice");
}

T_DevicesInfo* CSerialCommunication::OpenDeviceForNati(T_DevicesInfo* entry) {
    if (entry == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    return OpenEntry(entry, "CSerialCommunication::OpenDeviceForNati");
}

bool CSerialCommunication::OpenSerial(T_DevicesInfo* record) {
    if (record == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    if (record->pOpenStream != nullptr) {
        // Reopening an entry replaces the stream an earlier open left behind, but
        // only a live stream that no open record uses; a stale or shared pointer
        // is treated as no stream at all.
        QvdsStream* old = static_cast<QvdsStream*>(record->pOpenStream);
        if (Registry().streams.ClaimOrphan(old)) {
            QV_LOG("[%s] lpInfo->pOpenStream is not null", "OpenSerial");
            Registry().streams.DestroyClaimed(old);
            QV_LOG("[%s] qvds_close(lpInfo->pOpenStream)", "OpenSerial");
        }
        record->pOpenStream = nullptr;
    }
    SerialRegistry& reg = Registry();
    QvdsStream* stream = reg.streams.CreateOwned(record);
    if (stream == nullptr) {
        SetLastErrorCode(kErrNoMemory);
        return false;
    }
    record->pOpenStream = stream;
    const SerialSettings& s = record->SerialSettings;
    QV_LOG("%s %d pSerialSettings.port_number=%d pSerialSettings.baudrate=%d\n", "OpenSerial", __LINE__,
           s.port_number, static_cast<int>(s.baudrate));
    uint32_t status = 0;
    const bool ok = qvds_open_com(stream, s.port_number, s.baudrate, s.databits, s.stopbits, s.parity,
                                  s.flowcontrol, &status);
    record->streamError = status;
    QV_LOG("[%s] qvds_open_com result=%d", "OpenSerial", ok ? 1 : 0);
    if (!ok) {
        SetLastErrorCode(kErrOpenCom);
        if (reg.streams.ClaimOwn(stream, record)) reg.streams.DestroyClaimed(stream);
        record->pOpenStream = nullptr;
        return false;
    }
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (reg.devSerialExistMap.emplace(record, SettingsBlock(record)).second) {
        QV_LOG("[%s] devSerialExistMap insert succ", "OpenSerial");
    }
    return true;
}

bool CSerialCommunication::Write(T_DevicesInfo* device, const char* data, uint32_t length) {
    if (device == nullptr || data == nullptr || length == 0) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    QvdsStream* stream = static_cast<QvdsStream*>(device->pOpenStream);
    if (device->transportKind != kTransportSerial) return false;
    if (stream == nullptr) {
        SetLastErrorCode(kErrWriteCom);
        return false;
    }
    qvds_purge(stream, 0);  // a reply belongs to the command written now, not to what came before
    if (!qvds_write(stream, data, length)) {
        SetLastErrorCode(kErrWriteCom);
        return false;
    }
    return true;
}

int32_t CSerialCommunication::Read(T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs) {
    if (device == nullptr || buffer == nullptr || capacity == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (device->transportKind != kTransportSerial) return 0;
    QvdsStream* stream = static_cast<QvdsStream*>(device->pOpenStream);
    if (stream == nullptr) {
        SetLastErrorCode(kErrReadCom);
        return -1;
    }
    return ReadStream(stream, device, buffer, capacity, timeoutMs, kFirstWaitMs, kErrReadCom, nullptr);
}

int32_t CSerialCommunication::ReadBuffered(T_DevicesInfo* device, char* buffer, uint32_t capacity) {
    if (device == nullptr || buffer == nullptr || capacity == 0) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    QvdsStream* stream = static_cast<QvdsStream*>(device->pOpenStream);
    if (device->transportKind != kTransportSerial || stream == nullptr) return -1;
    return ReadStreamBuffered(stream, buffer, capacity);
}

void CSerialCommunication::Cancel(T_DevicesInfo* device) {
    // Not under the transport mutex: a blocked Read or Write holds it. A
    // monitor of the device reopens nothing any more; the close waits for it.
    {
        SerialRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.serialMonitorMap.find(device);
        if (it != reg.serialMonitorMap.end()) it->second->RequestStop();
    }
    Registry().streams.CancelOwnedBy(device, "CSerialCommunication::Cancel");
}

bool CSerialCommunication::UpdateKernelDevice(T_DevicesInfo* device, const char* fileName, int32_t,
                                              int32_t* result) {
    if (device == nullptr || fileName == nullptr || fileName[0] == '\0') {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    int32_t code = QV_FW_NOT_RUN;
    // Hot-plug monitoring must not reopen the port under the update: it stops
    // before the update takes the transport, and starts again afterwards when
    // it ran before.
    const QV_DEV_STATUS_CALLBACK monitored = StopMonitoring(device);
    bool ok = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // One progress record of the full size for the whole update.
        firmware::T_FirmwareProgress progress{};
        ok = UpdateSerialDevice(device, fileName, &progress, &code);
    }
    if (monitored != nullptr) {
        try {
            SetCbDevStatusChanged(device, monitored);
        } catch (const std::exception& e) {
            QV_LOG("%s %d monitoring not restarted: %s\n", "CSerialCommunication::UpdateKernelDevice", __LINE__,
                   e.what());
        }
    }
    if (result != nullptr) *result = code;
    QV_LOG("[%s][%d] return\n", "CSerialCommunication::UpdateKernelDevice", __LINE__);
    return ok;
}

bool CSerialCommunication::UpdateSerialDevice(T_DevicesInfo* record, const char* fileName,
                                              firmware::T_FirmwareProgress* progress, int32_t* result) {
    if (record == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    if (record->transportKind != kTransportSerial) return false;
    QvdsStream* stream = static_cast<QvdsStream*>(record->pOpenStream);
    const SerialSettings& settings = record->SerialSettings;
    if (stream == nullptr || !qvds_is_open(stream)) {
        QV_LOG("com is not open before update\n");
        bool reopened = false;
        if (stream != nullptr && !qvds_cancelled(stream)) {
            uint32_t status = 0;
            qvds_stop(stream);
            reopened = qvds_open_com(stream, settings.port_number, settings.baudrate, settings.databits,
                                     settings.stopbits, settings.parity, settings.flowcontrol, &status);
            record->streamError = status;
        }
        if (!reopened) {
            SetLastErrorCode(kErrOpenCom);
            QV_LOG("com open fail before update\n");
            *result = QV_FW_PORT_CLOSED;
            return false;
        }
        QV_LOG("com open succ before update\n");
    }
    // The name in the process's code page (UTF-8 here) as UTF-16; a name that
    // is not valid UTF-8 names no file.
    std::u16string wide;
    QV_LOG("%s %d [%s]\n", "qvds_update_firmware_file", __LINE__, fileName);
    if (!firmware::Utf8ToUtf16(fileName, wide)) {
        *result = QV_FW_CANNOT_OPEN;
    } else {
        *result = qvds_update_firmware_file(stream, wide.c_str(), progress);
    }
    const bool ok = *result == QV_FW_OK;
    if (!ok) SetLastErrorCode(kErrUpdateCom);
    if (!qvds_is_open(stream) && !qvds_cancelled(stream)) {
        // The update may leave the port closed (the scanner left its loader,
        // or a step failed): the device is opened again with its own settings
        // so that the handle works on.
        uint32_t status = 0;
        qvds_open_com(stream, settings.port_number, settings.baudrate, settings.databits, settings.stopbits,
                      settings.parity, settings.flowcontrol, &status);
        record->streamError = status;
        QV_LOG("%s %d reopened after the update: %d\n", "UpdateSerialDevice", __LINE__, qvds_is_open(stream) ? 1 : 0);
    }
    QV_LOG("[%s][%d] return iret=%d\n", "UpdateSerialDevice", __LINE__, *result);
    return ok;
}

bool CSerialCommunication::CloseSerial(T_DevicesInfo* record) {
    QV_LOG("[%s] come in", "CloseSerial");
    if (record == nullptr || record->pOpenStream == nullptr) {
        QV_LOG("[%s] lpInfo->pOpenStream is null", "CloseSerial");
        SetLastErrorCode(kErrInvalidParam);
        return true;
    }
    QvdsStream* stream = static_cast<QvdsStream*>(record->pOpenStream);
    {
        SerialRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.devSerialExistMap.erase(record);
    }
    // A stream whose port was lost is destroyed as well: the record is done
    // with it. It stays owned until it is gone, so no reopen of an entry that
    // still points to it takes it for an orphan meanwhile.
    if (Registry().streams.ClaimOwn(stream, record)) Registry().streams.DestroyClaimed(stream);
    record->pOpenStream = nullptr;
    QV_LOG("[%s] return", "CloseSerial");
    return true;
}

bool CSerialCommunication::CloseDevice(T_DevicesInfo** device) {
    if (device == nullptr) {
        SetLastErrorCode(kErrNoMemory);
        return true;
    }
    T_DevicesInfo* record = *device;
    QV_LOG("[%s] pDevice=[%p],pDevice->pOpenStream=[%p]", "CSerialCommunication::CloseDevice",
           static_cast<void*>(record), record != nullptr ? record->pOpenStream : nullptr);
    // The monitor uses the record and this transport: it ends first, outside
    // the transport mutex (which it takes), and is waited for.
    StopMonitoring(record);
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!CloseSerial(record)) return false;
    } catch (const std::exception& e) {
        QV_LOG("[%s] -2- e=%s", "CSerialCommunication::CloseDevice", e.what());
        return false;
    }
    // The record was made by this transport's open; nothing refers to it any more.
    if (record != nullptr) FreeDeviceRecord(record);
    *device = nullptr;
    return true;
}

void CSerialCommunication::ResetDeviceMaps() {}

void CSerialCommunication::SetCbDevStatusChanged(T_DevicesInfo* device, QV_DEV_STATUS_CALLBACK callback) {
    if (device == nullptr || callback == nullptr) return;
    SerialRegistry& reg = Registry();
    std::shared_ptr<HotplugMonitor> monitor;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (reg.serialMonitorMap.count(device) != 0) return;
        if (reg.devSerialExistMap.count(device) == 0) return;  // not an open serial record
        monitor = std::make_shared<HotplugMonitor>(device, callback,
                                                   std::make_unique<SerialHotplugDevice>(this, device),
                                                   "CbDevStatusChanged");
        reg.serialMonitorMap[device] = monitor;
    }
    try {
        monitor->Start();
    } catch (...) {
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.serialMonitorMap.erase(device);
        throw;
    }
}

QV_DEV_STATUS_CALLBACK CSerialCommunication::StopMonitoring(T_DevicesInfo* record) {
    if (record == nullptr) return nullptr;
    std::shared_ptr<HotplugMonitor> monitor;
    {
        SerialRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.serialMonitorMap.find(record);
        if (it == reg.serialMonitorMap.end()) return nullptr;
        monitor = it->second;
        reg.serialMonitorMap.erase(it);
    }
    monitor->Stop();
    return monitor->Callback();
}

void CSerialCommunication::StopCbDevStatusChanged(T_DevicesInfo* device) { StopMonitoring(device); }

CCommunicationFactory* CSerialFactory::CreateCommunication() { return new (std::nothrow) CSerialCommunication; }

}  // namespace qv

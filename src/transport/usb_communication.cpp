#include "transport/usb_communication.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>

#include "core/errors.h"
#include "core/log.h"
#include "portstream/qvds.h"
#include "portstream/qvds_usb.h"
#include "portstream/share_memory.h"
#include "firmware/file_name.h"
#include "firmware/firmware_progress.h"
#include "transport/stream_firmware_update.h"
#include "transport/hotplug_monitor.h"
#include "transport/stream_owners.h"

namespace qv {
namespace {

constexpr int32_t kFirstWaitMs = 60;

// Process-wide registries, keyed by the opened record's address:
//   usbOpenMap      open USB records (the record itself; the poller reads the path from it)
//   usbPresenceMap  last known presence of each open record (1 at open)
//   usbMonitorMap   records under hot-plug polling
// plus the pollers running per record, and the owners of the USB streams.
struct UsbRegistry {
    std::mutex mutex;
    std::condition_variable pollerEnded;
    std::map<T_DevicesInfo*, T_DevicesInfo*> usbOpenMap;
    std::map<T_DevicesInfo*, int> usbPresenceMap;
    std::set<T_DevicesInfo*> usbMonitorMap;
    std::map<T_DevicesInfo*, int> pollers;
    std::map<T_DevicesInfo*, std::shared_ptr<HotplugMonitor>> monitors;  // the pollers' monitors
    StreamOwners streams;
};

// Serialises the polling cycles' device work (presence, reopen, drop) across
// all monitored USB records. Never held while a hook or callback runs.
std::mutex& UsbMonitorLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

UsbRegistry& Registry() {
    static UsbRegistry* registry = new UsbRegistry;  // outlives detached threads at exit
    return *registry;
}

// The descriptor's path for log lines ("" when the field holds no path).
std::string NarrowPath(const UsbDeviceDescriptor& d) {
    std::string path;
    if (!qvds_descriptor_path(d, &path)) path.clear();
    return path;
}

// A monitored USB scanner: present while an interface with its path is there
// (asked of the system by path, so an interface this process holds open
// without sharing counts too); reopened on its stream with a copy of its
// descriptor; dropped by clearing the ShareMemory table and stopping the
// stream's reader, which closes the handle.
class UsbHotplugDevice final : public HotplugDevice {
public:
    explicit UsbHotplugDevice(T_DevicesInfo* record) : record_(record), descriptor_(record->UsbDeviceDescriptor) {}

    std::vector<std::string> WatchedPaths() override { return {}; }

    bool Present() override {
        std::lock_guard<std::mutex> lock(UsbMonitorLock());
        return qvds_usb_present(&descriptor_);
    }

    bool Lost() override {
        QvdsStream* stream = static_cast<QvdsStream*>(record_->pOpenStream);
        return stream != nullptr && !qvds_cancelled(stream) && !qvds_is_open(stream);
    }

    bool Reopen(int retry) override {
        std::lock_guard<std::mutex> lock(UsbMonitorLock());
        QvdsStream* stream = static_cast<QvdsStream*>(record_->pOpenStream);
        if (stream == nullptr || qvds_cancelled(stream)) return false;
        if (qvds_is_open(stream)) qvds_close(stream);
        uint32_t status = 0;
        const bool ok = qvds_open_usb(stream, &descriptor_, &status);
        std::atomic_ref<uint32_t>(record_->streamError).store(status, std::memory_order_relaxed);
        if (!ok) {
            QV_LOG(retry == 0 ? "res=%d, err=%d\n" : "reopen res=%d, err=%d\n", 0, static_cast<int>(status));
            return false;
        }
        QV_LOG("%s %d qvds_open_com res=%d\n", "CbUSBDevStatusChanged", __LINE__, 1);
        SetPresence(1);
        return true;
    }

    void Drop() override {
        std::lock_guard<std::mutex> lock(UsbMonitorLock());
        qvds_clear_share_memory();
        QvdsStream* stream = static_cast<QvdsStream*>(record_->pOpenStream);
        if (stream != nullptr) qvds_close(stream);
        SetPresence(0);
        QV_LOG("%s %d device gone\n", "CbUSBDevStatusChanged", __LINE__);
    }

    bool Cancelled() override {
        QvdsStream* stream = static_cast<QvdsStream*>(record_->pOpenStream);
        return stream == nullptr || qvds_cancelled(stream);
    }

    // The next cycle tries again.
    bool RetryOnNextLook() override { return true; }

    // Asking costs a scan of the USB interfaces.
    int PresenceIntervalMs() override { return 1000; }

private:
    void SetPresence(int present) {
        UsbRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.usbPresenceMap.find(record_);
        if (it != reg.usbPresenceMap.end()) it->second = present;
    }

    T_DevicesInfo* record_;
    const UsbDeviceDescriptor descriptor_;
};

}  // namespace

size_t OpenUsbRecordCount() {
    UsbRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.usbOpenMap.size();
}

bool UsbPollerBegin(T_DevicesInfo* record) {
    UsbRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (reg.usbOpenMap.count(record) == 0) return false;
    reg.usbMonitorMap.insert(record);
    ++reg.pollers[record];
    return true;
}

bool UsbPollerWanted(T_DevicesInfo* record) {
    UsbRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.usbMonitorMap.count(record) != 0;
}

void UsbPollerEnd(T_DevicesInfo* record) {
    UsbRegistry& reg = Registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.pollers.find(record);
    if (it == reg.pollers.end()) return;
    if (--it->second == 0) reg.pollers.erase(it);
    reg.pollerEnded.notify_all();
}

CUsbCommunication::~CUsbCommunication() = default;

T_DevicesInfo* CUsbCommunication::EnumDevices(int32_t* count) {
    if (count == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    QV_LOG("%s %d begin", "CUsbCommunication::EnumDevices", __LINE__);
    std::unique_ptr<UsbDeviceDescriptor[]> table(new UsbDeviceDescriptor[QVDS_MAX_USB_DEVICES]());
    const int n = qvds_enum_usb_devices(table.get());
    QV_LOG("%s %d usbCnts=%d", "CUsbCommunication::EnumDevices", __LINE__, n);
    *count = n;
    m_list.reset();
    if (n <= 0) return nullptr;
    m_list.reset(new (std::nothrow) T_DevicesInfo[static_cast<size_t>(n)]);
    if (!m_list) {
        *count = 0;
        SetLastErrorCode(kErrNoMemory);
        return nullptr;
    }
    for (int i = 0; i < n; ++i) {
        T_DevicesInfo& rec = m_list[static_cast<size_t>(i)];
        InitDeviceRecord(&rec);
        rec.UsbDeviceDescriptor = table[static_cast<size_t>(i)];
        const std::string path = NarrowPath(rec.UsbDeviceDescriptor);
        QV_LOG("CUsbCommunication EnumDevices (&m_TDI[i])->path=%s,p->path=%s\n", path.c_str(),
               NarrowPath(table[static_cast<size_t>(i)]).c_str());
        rec.transportKind = kTransportUsb;
    }
    QV_LOG("usbCnts=%d\n", n);
    return m_list.get();
}

T_DevicesInfo* CUsbCommunication::OpenEntry(T_DevicesInfo* entry, const char* caller) {
    T_DevicesInfo* record = NewDeviceRecord();
    if (record == nullptr) {
        SetLastErrorCode(kErrNoMemory);
        return nullptr;
    }
    try {
        if (entry->transportKind == kTransportUsb) {
            record->UsbDeviceDescriptor = entry->UsbDeviceDescriptor;
            std::memcpy(record->devInfo, entry->devInfo, sizeof record->devInfo);
            record->devInfo[sizeof record->devInfo - 1] = '\0';
        }
        record->pOpenStream = entry->pOpenStream;
        record->transportKind = entry->transportKind;
        record->index = entry->index;
        if (!Open(record)) {
            FreeDeviceRecord(record);
            return nullptr;
        }
        entry->pOpenStream = record->pOpenStream;
        UsbRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (reg.usbOpenMap.emplace(record, record).second) reg.usbPresenceMap[record] = 1;
        return record;
    } catch (const std::exception& e) {
        QV_LOG("[%s] exception %s", caller, e.what());
        if (record->pOpenStream != nullptr && record->pOpenStream != entry->pOpenStream) Close(record);
        FreeDeviceRecord(record);
        return nullptr;
    }
}

T_DevicesInfo* CUsbCommunication::OpenDevice(T_DevicesInfo* list, uint32_t index) {
    if (list == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    return OpenEntry(&list[index], "CUsbCommunication::OpenDevice");
}

T_DevicesInfo* CUsbCommunication::OpenDeviceForNati(T_DevicesInfo* entry) {
    if (entry == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    return OpenEntry(entry, "CUsbCommunication::OpenDeviceForNati");
}

bool CUsbCommunication::Open(T_DevicesInfo* record) {
    if (record == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    QV_LOG("[%s] lpInfo->pOpenStream is not null", "Open");
    if (record->pOpenStream != nullptr) {
        // A stream an earlier open of the entry left behind is replaced when no
        // open record uses it; a stale or shared pointer counts as no stream.
        QvdsStream* old = static_cast<QvdsStream*>(record->pOpenStream);
        if (Registry().streams.ClaimOrphan(old)) Registry().streams.DestroyClaimed(old);
        record->pOpenStream = nullptr;
    }
    UsbRegistry& reg = Registry();
    QvdsStream* stream = reg.streams.CreateOwned(record);
    if (stream == nullptr) {
        SetLastErrorCode(kErrNoMemory);
        return false;
    }
    record->pOpenStream = stream;
    const UsbDeviceDescriptor descriptor = record->UsbDeviceDescriptor;
    uint32_t status = 0;
    const bool ok = qvds_open_usb(stream, &descriptor, &status);
    record->streamError = status;
    QV_LOG("[%s] qvds_open_usb %s result=%d status=%u", "Open", NarrowPath(descriptor).c_str(), ok ? 1 : 0, status);
    if (!ok) {
        SetLastErrorCode(kErrOpenUsb);
        if (reg.streams.ClaimOwn(stream, record)) reg.streams.DestroyClaimed(stream);
        record->pOpenStream = nullptr;
        return false;
    }
    return true;
}

bool CUsbCommunication::Write(T_DevicesInfo* device, const char* data, uint32_t length) {
    if (device == nullptr || data == nullptr || length == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    QvdsStream* stream = static_cast<QvdsStream*>(device->pOpenStream);
    if (stream == nullptr) {
        SetLastErrorCode(kErrWriteUsb);
        return false;
    }
    qvds_purge(stream, 0);  // a reply belongs to the command written now, not to what came before
    if (device->transportKind != kTransportUsb) return false;
    if (!qvds_write(stream, data, length)) {
        SetLastErrorCode(kErrWriteUsb);
        return false;
    }
    return true;
}

int32_t CUsbCommunication::Read(T_DevicesInfo* device, char* buffer, uint32_t capacity, int32_t timeoutMs) {
    if (device == nullptr || buffer == nullptr || capacity == 0) {
        SetLastErrorCode(kErrInvalidParam);
        return 0;
    }
    if (device->transportKind != kTransportUsb) return 0;
    QvdsStream* stream = static_cast<QvdsStream*>(device->pOpenStream);
    if (stream == nullptr) {
        SetLastErrorCode(kErrReadUsb);
        return -1;
    }
    bool defaultTimedOut = false;
    const int32_t n =
        ReadStream(stream, device, buffer, capacity, timeoutMs, kFirstWaitMs, kErrReadUsb, &defaultTimedOut);
    if (defaultTimedOut) QV_LOG("usb read timeout break!!!!!!!!!!!!!!\n");
    return n;
}

int32_t CUsbCommunication::ReadBuffered(T_DevicesInfo* device, char* buffer, uint32_t capacity) {
    if (device == nullptr || buffer == nullptr || capacity == 0) return 0;
    QvdsStream* stream = static_cast<QvdsStream*>(device->pOpenStream);
    if (device->transportKind != kTransportUsb || stream == nullptr) return -1;
    return ReadStreamBuffered(stream, buffer, capacity);
}

void CUsbCommunication::Cancel(T_DevicesInfo* device) {
    {
        UsbRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.monitors.find(device);
        if (it != reg.monitors.end()) it->second->RequestStop();
    }
    Registry().streams.CancelOwnedBy(device, "CUsbCommunication::Cancel");
}

bool CUsbCommunication::UpdateKernelDevice(T_DevicesInfo* device, const char* fileName, int32_t, int32_t* result) {
    if (device == nullptr || fileName == nullptr || fileName[0] == '\0') {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    // The poller must not reopen the device under the update; monitoring that
    // ran before the update runs again after it.
    const QV_DEV_STATUS_CALLBACK monitored = StopMonitoring(device);
    const bool ok = UpdateUsbDevice(device, fileName, result);
    if (monitored != nullptr) {
        try {
            SetCbDevStatusChanged(device, monitored);
        } catch (const std::exception& e) {
            QV_LOG("%s %d monitoring not restarted: %s\n", "CUsbCommunication::UpdateKernelDevice", __LINE__,
                   e.what());
        }
    }
    QV_LOG("[%s][%d] return\n", "CUsbCommunication::UpdateKernelDevice", __LINE__);
    return ok;
}

bool CUsbCommunication::UpdateUsbDevice(T_DevicesInfo* device, const char* fileName, int32_t* result) {
    if (result != nullptr) *result = -1;
    if (device->transportKind != kTransportUsb) return false;
    QvdsStream* stream = static_cast<QvdsStream*>(device->pOpenStream);
    if (stream == nullptr) {
        SetLastErrorCode(kErrOpenUsb);
        return false;
    }
    if (!qvds_is_open(stream)) {
        const UsbDeviceDescriptor descriptor = device->UsbDeviceDescriptor;
        uint32_t status = 0;
        const bool reopened = qvds_open_usb(stream, &descriptor, &status);
        device->streamError = status;
        if (!reopened) {
            SetLastErrorCode(kErrOpenUsb);
            return false;
        }
    }
    // The name in the process's code page (UTF-8 here) as UTF-16; a name that
    // is not valid UTF-8 names no file.
    std::u16string wide;
    QV_LOG("%s %d [%s]\n", "qvds_update_firmware_file", __LINE__, fileName);
    int32_t code = QV_FW_CANNOT_OPEN;
    if (firmware::Utf8ToUtf16(fileName, wide)) {
        firmware::T_FirmwareProgress progress{};
        code = qvds_update_firmware_file(stream, wide.c_str(), &progress);
    }
    if (result != nullptr) *result = code;
    const bool ok = code == QV_FW_OK;
    if (!ok) SetLastErrorCode(kErrUpdateUsb);
    if (!qvds_cancelled(stream)) {
        // The scanner may have come back elsewhere during the update (as a
        // virtual COM port), or the update left the stream closed: the
        // handle goes on with the device's own path.
        UsbDeviceDescriptor now{};
        const bool onOwnPath = qvds_is_open(stream) && qvds_path_descriptor(stream, &now) &&
                               qvds_kind(stream) != QVDS_KIND_COM &&
                               std::memcmp(now.path, device->UsbDeviceDescriptor.path, sizeof now.path) == 0;
        if (!onOwnPath) {
            if (qvds_is_open(stream)) qvds_close(stream);
            const UsbDeviceDescriptor descriptor = device->UsbDeviceDescriptor;
            uint32_t status = 0;
            qvds_open_usb(stream, &descriptor, &status);
            device->streamError = status;
            QV_LOG("%s %d reopened after the update: %d\n", "UpdateUsbDevice", __LINE__,
                   qvds_is_open(stream) ? 1 : 0);
        }
    }
    return ok;
}

bool CUsbCommunication::Close(T_DevicesInfo* record) {
    if (record == nullptr || record->pOpenStream == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return true;
    }
    QV_LOG("[%s] come in", "Close");
    QvdsStream* stream = static_cast<QvdsStream*>(record->pOpenStream);
    // A stream whose device was lost is destroyed as well: the record is done with it.
    if (Registry().streams.ClaimOwn(stream, record)) Registry().streams.DestroyClaimed(stream);
    record->pOpenStream = nullptr;
    QV_LOG("[%s] qvds_destory", "Close");
    {
        UsbRegistry& reg = Registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (reg.usbOpenMap.count(record) != 0 && reg.usbPresenceMap.count(record) != 0) {
            reg.usbMonitorMap.erase(record);
            reg.usbOpenMap.erase(record);
            reg.usbPresenceMap.erase(record);
        }
    }
    QV_LOG("[%s] return", "Close");
    return true;
}

bool CUsbCommunication::CloseDevice(T_DevicesInfo** device) {
    if (device == nullptr) return true;
    T_DevicesInfo* record = *device;
    if (record == nullptr) return true;
    bool ok = false;
    try {
        // The hot-plug poller reads the record: it is stopped, and waited for,
        // before anything of the record goes (and never under a lock the
        // poller takes).
        StopCbDevStatusChanged(record);
        ok = Close(record);
    } catch (const std::exception& e) {
        QV_LOG("[%s] -2- e=%s", "CUsbCommunication::CloseDevice", e.what());
        ok = false;
    }
    FreeDeviceRecord(record);
    *device = nullptr;
    return ok;
}

void CUsbCommunication::ResetDeviceMaps() {}

void CUsbCommunication::SetCbDevStatusChanged(T_DevicesInfo* device, QV_DEV_STATUS_CALLBACK callback) {
    if (device == nullptr || callback == nullptr) return;
    UsbRegistry& reg = Registry();
    std::shared_ptr<HotplugMonitor> monitor;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (reg.usbMonitorMap.count(device) != 0 || reg.usbOpenMap.count(device) == 0) return;
        monitor = std::make_shared<HotplugMonitor>(device, callback, std::make_unique<UsbHotplugDevice>(device),
                                                   "CbUSBDevStatusChanged");
        reg.usbMonitorMap.insert(device);
        reg.monitors[device] = monitor;
    }
    try {
        monitor->Start();
    } catch (...) {
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.usbMonitorMap.erase(device);
        reg.monitors.erase(device);
        throw;
    }
}

QV_DEV_STATUS_CALLBACK CUsbCommunication::StopMonitoring(T_DevicesInfo* device) {
    QV_DEV_STATUS_CALLBACK callback = nullptr;
    if (device != nullptr) {
        UsbRegistry& reg = Registry();
        std::shared_ptr<HotplugMonitor> monitor;
        {
            std::unique_lock<std::mutex> lock(reg.mutex);
            reg.usbMonitorMap.erase(device);
            auto it = reg.monitors.find(device);
            if (it != reg.monitors.end()) {
                monitor = it->second;
                reg.monitors.erase(it);
            }
            reg.pollerEnded.wait(lock, [&] { return reg.pollers.count(device) == 0; });
        }
        if (monitor) {
            monitor->Stop();
            callback = monitor->Callback();
        }
    }
    QV_LOG("StopCbDevStatusChanged\n");
    return callback;
}

void CUsbCommunication::StopCbDevStatusChanged(T_DevicesInfo* device) { StopMonitoring(device); }

CCommunicationFactory* CUsbFactory::CreateCommunication() { return new (std::nothrow) CUsbCommunication; }

}  // namespace qv

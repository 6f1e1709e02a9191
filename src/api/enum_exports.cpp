// Enumeration of all device kinds, the device list, and the identity exports.
#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "api/export_guard.h"
#include "api/net_enum_lock.h"
#include "core/log.h"
#include "api/registry.h"
#include "api/thread_start.h"
#include "engine/qvscan.h"
#include "quorvia.h"

namespace qv {
namespace {

constexpr int32_t kIdentityReplyCapacity = 20000;
constexpr int32_t kIdentityTimeoutMs = 2000;
constexpr int32_t kMinIdentityReply = 16;  // prefix, kind, command word, status, ';' 03
constexpr int32_t kMinHandleIdentityReply = 29;  // what qv_GetDeviceInfoByHandle takes for an identity

// One scan at a time. Held only around the scan and the publication of its
// list: never while handles are closed, since a close waits for listeners
// whose callbacks may enumerate themselves.
std::mutex enumMutex;

// Identity text of a QRYSYS / BASQSY reply of length len: from byte 13 on,
// without the status byte, ';' and 03, cut to fit `capacity` with its zero.
// Empty when the reply is too short to hold one.
void IdentityText(const char* reply, int32_t len, char* out, size_t capacity) {
    if (capacity == 0) return;
    size_t take = len >= kMinIdentityReply ? static_cast<size_t>(len - kMinIdentityReply) : 0;
    take = std::min(take, capacity - 1);
    if (take != 0) std::memcpy(out, reply + 13, take);
    out[take] = '\0';
}

// Asks entry `i` of a per-kind array for its identity with a private engine,
// so the enumeration uses no registry slot an application could hold.
void QueryIdentity(std::vector<T_DevicesInfo>& entries, size_t i) {
    try {
        CQVScan engine;
        T_DevicesInfo* handle = engine.OpenDevice(entries.data(), static_cast<uint32_t>(i));
        if (handle == nullptr) return;
        std::vector<char> reply(kIdentityReplyCapacity);
        int32_t len = kIdentityReplyCapacity;
        const bool ok =
            engine.GetCommandResponse(handle, "QRYSYS", 6, reply.data(), &len, kIdentityTimeoutMs, true);
        QV_LOG("%s %d qv_GetCommandResponse bRet=%d,resLen=%d", "QueryIdentity", __LINE__, ok ? 1 : 0, len);
        if (ok && len >= kMinIdentityReply) {
            IdentityText(reply.data(), len, entries[i].devInfo, sizeof entries[i].devInfo);
        }
        engine.CloseDevice(&handle);
        entries[i].pOpenStream = nullptr;
    } catch (const std::exception& e) {
        QV_LOG("%s %d identity query failed: %s", "QueryIdentity", __LINE__, e.what());
    }
}

// Runs one transport scan and copies its records out.
std::vector<T_DevicesInfo> Scan(int32_t kind, int32_t mode, const char* countLog) {
    std::vector<T_DevicesInfo> out;
    std::unique_ptr<CDevicesFactory> factory = MakeDevicesFactory(kind);
    if (!factory) {
        QV_LOG(countLog, "Scan", __LINE__, 0);
        return out;
    }
    std::unique_ptr<CCommunicationFactory> transport(factory->CreateCommunication());
    if (!transport) return out;
    int32_t count = mode;
    T_DevicesInfo* records = transport->EnumDevices(&count);
    QV_LOG(countLog, "Scan", __LINE__, count);
    if (count > 0 && records != nullptr) out.assign(records, records + count);
    return out;
}

struct KindResults {
    std::vector<T_DevicesInfo> com;   // kept COM-port entries
    std::vector<T_DevicesInfo> vcom;  // USB virtual COM entries
    std::vector<T_DevicesInfo> usb;
    std::vector<T_DevicesInfo> network;
};

void ComThread(bool wantCom, bool wantVcom, KindResults* results) {
    std::vector<T_DevicesInfo> com;
    std::vector<T_DevicesInfo> vcom;
    if (wantCom) com = Scan(kTransportSerial, -2, "[%s][%d] serialCount=%d\n");
    if (wantVcom) vcom = Scan(kTransportSerial, -1, "[%s][%d] serialUsbCount=%d\n");
    for (size_t i = 0; i < com.size(); ++i) QueryIdentity(com, i);
    for (size_t i = 0; i < vcom.size(); ++i) QueryIdentity(vcom, i);
    // A scanner on a USB virtual COM port also shows as a plain COM port: keep
    // only the virtual COM entry (same identity text, failed queries included).
    if (wantVcom && !vcom.empty()) {
        std::vector<T_DevicesInfo> kept;
        for (const T_DevicesInfo& c : com) {
            const bool duplicate = std::any_of(vcom.begin(), vcom.end(), [&](const T_DevicesInfo& v) {
                return std::strncmp(c.devInfo, v.devInfo, sizeof c.devInfo) == 0;
            });
            if (!duplicate) kept.push_back(c);
        }
        com.swap(kept);
    }
    results->com = std::move(com);
    results->vcom = std::move(vcom);
}

void UsbThread(KindResults* results) {
    QV_LOG("usb EnumDevices");
    std::vector<T_DevicesInfo> usb = Scan(kTransportUsb, 0, "[%s][%d] usbCount=%d\n");
    for (size_t i = 0; i < usb.size(); ++i) QueryIdentity(usb, i);
    results->usb = std::move(usb);
}

void NetworkThread(KindResults* results) {
    std::lock_guard<std::mutex> lock(NetEnumMutex());
    QV_LOG("----------single network enum [%d]\n", 0);
    results->network = Scan(kTransportNetwork, 0, "[%s][%d] networkCount=%d\n");
}

// Starts a joinable thread running `fn`. A thread that cannot be started runs
// its scan on the calling thread instead, so the list is complete either way;
// a scan that fails on the way finds nothing.
template <typename Fn>
std::thread StartThread(Fn fn) {
    auto guarded = [fn = std::move(fn)]() mutable {
        try {
            fn();
        } catch (const std::exception& e) {
            QV_LOG("%s %d enumeration thread failed: %s", "qv_EnumDevices", __LINE__, e.what());
        }
    };
    try {
        BeforeThreadStart();
        return std::thread(guarded);
    } catch (const std::exception& e) {
        QV_LOG("%s %d cannot start enumeration thread, scanning here: %s", "qv_EnumDevices", __LINE__, e.what());
    }
    guarded();
    return std::thread();
}

// Closes handles (closing one may wait for its listener: no enumeration lock is held).
void CloseHandles(const std::vector<std::pair<T_DevicesInfo*, uint32_t>>& handles) {
    for (auto& [h, index] : handles) {
        QV_LOG("%s %d close %u device", "qv_ReleaseDevices", __LINE__, index);
        void* handle = h;
        CloseHandle(&handle, true);
    }
}

// Detaches the current list when `list` is it (any list when `list` is null)
// and closes every handle, open ones and failed closes alike. False when there
// was nothing to release.
bool ReleaseCurrentList(const T_DevicesInfo* list) {
    Registry& reg = Reg();
    std::shared_ptr<DeviceList> released;
    std::vector<std::pair<T_DevicesInfo*, uint32_t>> toClose;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (!reg.currentList || (list != nullptr && reg.currentList->entries.data() != list)) return false;
        released = std::move(reg.currentList);
        reg.currentList.reset();
        reg.listTotal = 0;
        for (auto& kv : reg.handles) toClose.emplace_back(kv.first, kv.second->index);
    }
    CloseHandles(toClose);
    QV_LOG("%s %d end", "qv_ReleaseDevices", __LINE__);
    // The entries are freed when the last export still working on them returns.
    return true;
}

// Releases a list that another enumeration published while this one scanned:
// the handles opened from it are closed.
void ReleaseSupersededList(const std::shared_ptr<DeviceList>& superseded) {
    Registry& reg = Reg();
    std::vector<std::pair<T_DevicesInfo*, uint32_t>> toClose;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        for (auto& kv : reg.handles) {
            if (kv.second->origin == superseded) toClose.emplace_back(kv.first, kv.second->index);
        }
    }
    CloseHandles(toClose);
}

// Takes a reference to the current list when `list` is it and index is inside.
std::shared_ptr<DeviceList> CurrentListEntry(const T_DevicesInfo* list, uint32_t index) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (list == nullptr || !reg.currentList || reg.currentList->entries.data() != list ||
        index >= reg.currentList->entries.size()) {
        return nullptr;
    }
    return reg.currentList;
}

// Copies an entry's identity text under the registry lock (it may be filled by
// another thread's query).
void CopyEntryInfo(const T_DevicesInfo& entry, char* out, size_t capacity) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    const size_t len = strnlen(entry.devInfo, sizeof entry.devInfo - 1);
    const size_t take = std::min(len, capacity - 1);
    std::memcpy(out, entry.devInfo, take);
    out[take] = '\0';
}

void StoreEntryInfo(T_DevicesInfo& entry, const char* text) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    std::strncpy(entry.devInfo, text, sizeof entry.devInfo - 1);
    entry.devInfo[sizeof entry.devInfo - 1] = '\0';
}

bool EntryInfoEmpty(const T_DevicesInfo& entry) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return entry.devInfo[0] == '\0';
}

}  // namespace
}  // namespace qv

using namespace qv;

extern "C" {

QV_API T_DevicesInfo* qv_EnumDevices(int32_t* deviceCount, uint32_t flags) try {
    QV_LOG("%s %d begin\n", "qv_EnumDevices", __LINE__);
    WriteLog(kLogConsole, "T_DevicesInfo size = %d", static_cast<int>(sizeof(T_DevicesInfo)));
    if (deviceCount == nullptr || flags < 1 || flags > 15) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    // The previous list is released before the enumeration lock is taken: its
    // handles' listeners may be in callbacks that enumerate as well.
    ReleaseCurrentList(nullptr);
    SetLastErrorCode(kOk);

    std::unique_lock<std::mutex> enumLock(enumMutex);
    KindResults results;
    std::thread com, usb, net;
    if (flags & (QV_ENUM_COM | QV_ENUM_USB_VCOM)) {
        com = StartThread([&] { ComThread(flags & QV_ENUM_COM, flags & QV_ENUM_USB_VCOM, &results); });
    }
    if (flags & QV_ENUM_USB) usb = StartThread([&] { UsbThread(&results); });
    if (flags & QV_ENUM_NETWORK) net = StartThread([&] { NetworkThread(&results); });
    if (com.joinable()) com.join();
    if (usb.joinable()) usb.join();
    if (net.joinable()) net.join();

    const size_t total = results.network.size() + results.com.size() + results.vcom.size() + results.usb.size();
    std::shared_ptr<DeviceList> list;
    if (total >= 1) {
        list = std::make_shared<DeviceList>();
        list->entries.resize(total);
        size_t pos = 0;
        for (const auto* kind : {&results.usb, &results.com, &results.vcom, &results.network}) {
            for (const T_DevicesInfo& e : *kind) list->entries[pos++] = e;
        }
        for (size_t i = 0; i < total; ++i) {
            list->entries[i].index = static_cast<int32_t>(i);
            list->entries[i].deviceCount = 0;
        }
        list->entries[0].deviceCount = static_cast<int32_t>(total);
    }
    T_DevicesInfo* first = nullptr;
    std::shared_ptr<DeviceList> superseded;  // published by another enumeration meanwhile
    {
        Registry& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.mutex);
        superseded = std::move(reg.currentList);
        reg.currentList = list;
        reg.listTotal = static_cast<int32_t>(total);
        if (list) first = list->entries.data();
    }
    enumLock.unlock();
    if (superseded) ReleaseSupersededList(superseded);
    *deviceCount = static_cast<int32_t>(total);
    QV_LOG("[%s][%d] return deviceCount=%d\n", "qv_EnumDevices", __LINE__, static_cast<int>(total));
    SetLastErrorCode(kOk);
    return first;
} QV_EXPORT_CATCH("qv_EnumDevices", nullptr)

QV_API void qv_ReleaseDevices(T_DevicesInfo** list) try {
    if (list != nullptr && *list != nullptr && ReleaseCurrentList(*list)) *list = nullptr;
    SetLastErrorCode(kOk);
} QV_EXPORT_CATCH("qv_ReleaseDevices")

QV_API bool qv_GetDeviceInfo(T_DevicesInfo* list, uint32_t index, T_DevInfo* info) try {
    QV_LOG("%s %d begin\n", "qv_GetDeviceInfo", __LINE__);
    WriteLog(kLogConsole, "2 T_DevicesInfo size = %d", static_cast<int>(sizeof(T_DevicesInfo)));
    std::shared_ptr<DeviceList> ref = CurrentListEntry(list, index);
    if (!ref || info == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    T_DevicesInfo& entry = ref->entries[index];
    info->devType = PublicDeviceType(entry.transportKind);
    bool result = false;
    if (entry.transportKind == kTransportNetwork) {
        CopyEntryInfo(entry, info->devInfo, sizeof info->devInfo);
        result = true;
    } else if (entry.transportKind == kTransportSerial || entry.transportKind == kTransportUsb) {
        if (!EntryInfoEmpty(entry)) {
            CopyEntryInfo(entry, info->devInfo, sizeof info->devInfo);
            QV_LOG("stNetDevInfo->devInfo=%s", info->devInfo);
            result = true;
        } else {
            // Whether it was open is decided in the same step as the open.
            bool opened = false;
            void* handle = OpenListEntry(ref, index, &opened);
            if (handle == nullptr) return false;  // the open's error stays
            QV_LOG("%s %d device is open=%d\n", "qv_GetDeviceInfo", __LINE__, opened ? 0 : 1);
            std::vector<char> reply(kIdentityReplyCapacity);
            int32_t len = kIdentityReplyCapacity;
            result = qv_GetCommandResponse(handle, "QRYSYS", 6, reply.data(), &len, kIdentityTimeoutMs, true, false);
            QV_LOG("%s %d qv_GetCommandResponse bRet=%d,resLen=%d", "qv_GetDeviceInfo", __LINE__, result ? 1 : 0, len);
            if (result && len >= kMinIdentityReply) {
                IdentityText(reply.data(), len, info->devInfo, sizeof info->devInfo);
                StoreEntryInfo(entry, info->devInfo);
            } else {
                info->devInfo[0] = '\0';
                result = false;  // no identity came back
            }
            if (opened) {
                QV_LOG("%s %d need to close device\n", "qv_GetDeviceInfo", __LINE__);
                CloseTemporaryHandle(&handle);
            }
        }
    } else {
        SetLastErrorCode(kErrDeviceType);
        return false;
    }
    QV_LOG("%s %d device type=%d\n", "qv_GetDeviceInfo", __LINE__, info->devType);
    QV_LOG("%s %d finish\n", "qv_GetDeviceInfo", __LINE__);
    if (result) SetLastErrorCode(kOk);
    return result;
} QV_EXPORT_CATCH("qv_GetDeviceInfo", false)

QV_API void qv_GetBaseInfo(T_DevicesInfo* list, uint32_t index, char* buffer, int32_t* length) try {
    QV_LOG("%s %d begin\n", "qv_GetBaseInfo", __LINE__);
    WriteLog(kLogConsole, "2 T_DevicesInfo size = %d", static_cast<int>(sizeof(T_DevicesInfo)));
    std::shared_ptr<DeviceList> ref = CurrentListEntry(list, index);
    if (!ref || buffer == nullptr || length == nullptr || *length <= 0) {
        SetLastErrorCode(kErrInvalidParam);
        return;
    }
    const int32_t capacity = *length;
    bool opened = false;
    void* handle = OpenListEntry(ref, index, &opened);
    if (handle == nullptr) return;
    QV_LOG("%s %d device is open=%d\n", "qv_GetBaseInfo", __LINE__, opened ? 0 : 1);
    std::vector<char> reply(kIdentityReplyCapacity);
    int32_t len = kIdentityReplyCapacity;
    const bool ok = qv_GetCommandResponse(handle, "BASQSY", 6, reply.data(), &len, kIdentityTimeoutMs, true, false);
    QV_LOG("%s %d qv_GetCommandResponse bRet=%d,resLen=%d", "qv_GetBaseInfo", __LINE__, ok ? 1 : 0, len);
    if (ok && len >= kMinIdentityReply) {
        IdentityText(reply.data(), len, buffer, static_cast<size_t>(capacity));
        *length = len >= 29 ? len - 29 : 0;
    } else {
        buffer[0] = '\0';
        *length = 0;
    }
    if (opened) {
        QV_LOG("%s %d need to close device\n", "qv_GetBaseInfo", __LINE__);
        CloseTemporaryHandle(&handle);
    }
} QV_EXPORT_CATCH("qv_GetBaseInfo")

QV_API bool qv_GetDeviceInfoByHandle(void* hDevice, T_DevInfo* info) try {
    QV_LOG("%s %d begin\n", "qv_GetDeviceInfoByHandle", __LINE__);
    HandleUse use(hDevice);
    if (!use || info == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    T_DevicesInfo* record = use.record();
    info->devType = PublicDeviceType(record->transportKind);
    bool result = true;
    if (record->transportKind == kTransportSerial || record->transportKind == kTransportUsb) {
        if (!EntryInfoEmpty(*record)) {
            CopyEntryInfo(*record, info->devInfo, sizeof info->devInfo);
            QV_LOG("stDevInfo->devInfo=%s", info->devInfo);
        } else {
            char reply[2048];
            int32_t len = sizeof reply;
            result = qv_GetCommandResponse(hDevice, "QRYSYS", 6, reply, &len, kIdentityTimeoutMs, true, false);
            if (result && len >= kMinHandleIdentityReply) {
                IdentityText(reply, len, info->devInfo, sizeof info->devInfo);
                StoreEntryInfo(*record, info->devInfo);
            } else {
                info->devInfo[0] = '\0';
                result = false;  // no identity came back
            }
        }
    } else if (record->transportKind == kTransportNetwork) {
        CopyEntryInfo(*record, info->devInfo, sizeof info->devInfo);
    } else {
        SetLastErrorCode(kErrDeviceType);
        return false;
    }
    QV_LOG("%s %d device type=%d\n", "qv_GetDeviceInfoByHandle", __LINE__, info->devType);
    QV_LOG("%s %d finish\n", "qv_GetDeviceInfoByHandle", __LINE__);
    if (result) SetLastErrorCode(kOk);
    return result;
} QV_EXPORT_CATCH("qv_GetDeviceInfoByHandle", false)

}  // extern "C"

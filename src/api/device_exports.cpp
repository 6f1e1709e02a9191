// Open, close and status exports.
#include <exception>
#include <new>
#include <thread>

#include "core/errors.h"
#include "api/export_guard.h"
#include "api/hotplug_hooks.h"
#include "core/log.h"
#include "api/registry.h"
#include "engine/qvscan.h"
#include "quorvia.h"

namespace qv {
namespace {

// Waits until no other thread is opening `index`, then claims it. Returns the
// handle already registered for the index instead, when there is one that is
// open. Called with the lock held.
T_DevicesInfo* ClaimIndex(std::unique_lock<std::mutex>& lock, uint32_t index) {
    Registry& reg = Reg();
    reg.changed.wait(lock, [&] { return reg.openingIndices.count(index) == 0; });
    auto it = reg.devIndexMap.find(index);
    if (it != reg.devIndexMap.end()) return it->second;
    reg.openingIndices.insert(index);
    return nullptr;
}

void ReleaseIndexClaim(uint32_t index) {
    Registry& reg = Reg();
    reg.openingIndices.erase(index);
    reg.changed.notify_all();
}

// Registers a freshly opened handle under `index` (the index was claimed).
void RegisterHandle(T_DevicesInfo* handle, CQVScan* engine, uint32_t index,
                    std::shared_ptr<DeviceList> origin) {
    Registry& reg = Reg();
    auto st = std::make_shared<HandleState>();
    st->record = handle;
    st->engine = engine;
    st->index = index;
    st->inIndexMap = true;
    st->grants = 1;
    st->origin = std::move(origin);
    reg.handles[handle] = st;
    reg.devOpenMap[handle] = true;
    reg.devIndexMap[index] = handle;
    reg.scanIndexMap[index] = engine;
    reg.devStatusMap[handle] = QV_STATUS_OPENED;
}

// Closes a handle registered for `index` that is no longer open (a failed
// close left it behind), so the index can be opened afresh.
bool ClearStaleIndex(std::unique_lock<std::mutex>& lock, uint32_t index) {
    Registry& reg = Reg();
    auto it = reg.devIndexMap.find(index);
    if (it == reg.devIndexMap.end() || reg.devOpenMap.count(it->second) != 0) return true;
    void* stale = it->second;
    lock.unlock();
    const bool closed = CloseHandle(&stale, false);
    lock.lock();
    return closed;
}

// The handle registered for `index` is being closed: waits until that close
// ended (the next try then opens the device afresh). False without waiting
// when the calling thread is the listener that close waits for: the two would
// wait for each other for ever.
bool WaitForClosingIndex(std::unique_lock<std::mutex>& lock, uint32_t index, T_DevicesInfo* existing,
                         const std::shared_ptr<HandleState>& st) {
    Registry& reg = Reg();
    if (st->closingRun && st->closingRun->thread.load() == std::this_thread::get_id()) return false;
    reg.changed.wait(lock, [&] {
        auto cur = reg.devIndexMap.find(index);
        return cur == reg.devIndexMap.end() || cur->second != existing || !st->closing;
    });
    return true;
}

// Opens through a new engine; `open` performs the engine's open. *opened tells
// whether this call opened the device (false: it handed out the handle that
// was open already, or failed).
template <typename OpenFn>
void* OpenIndexed(uint32_t index, std::shared_ptr<DeviceList> origin, bool* opened, OpenFn open) {
    Registry& reg = Reg();
    if (opened != nullptr) *opened = false;
    std::unique_lock<std::mutex> lock(reg.mutex);
    for (;;) {
        T_DevicesInfo* existing = ClaimIndex(lock, index);
        if (existing == nullptr) break;
        auto it = reg.handles.find(existing);
        if (reg.devOpenMap.count(existing) != 0) {
            if (it != reg.handles.end()) ++it->second->grants;
            return existing;
        }
        if (it != reg.handles.end() && it->second->closing) {
            const std::shared_ptr<HandleState> st = it->second;
            if (!WaitForClosingIndex(lock, index, existing, st)) {
                SetLastErrorCode(kErrNotOpen);
                return nullptr;
            }
            continue;
        }
        if (!ClearStaleIndex(lock, index)) return nullptr;
    }
    lock.unlock();

    CQVScan* engine = nullptr;
    T_DevicesInfo* handle = nullptr;
    try {
        engine = new CQVScan;
        handle = open(engine);
    } catch (const std::exception& e) {
        // Only memory (or a thread the stream could not start) runs out here.
        SetLastErrorCode(kErrNoMemory);
        QV_LOG("%s %d open failed: %s", "OpenDevice", __LINE__, e.what());
        handle = nullptr;
    }

    lock.lock();
    ReleaseIndexClaim(index);
    if (handle != nullptr && origin && reg.currentList != origin) {
        // The list was released while this open ran: the handle must not outlive it.
        lock.unlock();
        engine->CloseDevice(&handle);
        delete engine;
        SetLastErrorCode(kOk);
        return nullptr;
    }
    if (handle == nullptr) {
        reg.devStatusMap[nullptr] = QV_STATUS_OPEN_FAILED;
        lock.unlock();
        delete engine;  // a failed open leaves no engine behind
        QV_LOG("%s %d return [%p]\n", "OpenDevice", __LINE__, static_cast<void*>(handle));
        return nullptr;
    }
    if (origin) {
        // The list entry learns its stream (or socket) under the lock every reader of it takes.
        origin->entries[index].pOpenStream = handle->pOpenStream;
        origin->entries[index].socket = handle->socket;
    }
    RegisterHandle(handle, engine, index, std::move(origin));
    lock.unlock();
    if (opened != nullptr) *opened = true;
    SetLastErrorCode(kOk);
    QV_LOG("%s %d return [%p]\n", "OpenDevice", __LINE__, static_cast<void*>(handle));
    return handle;
}

}  // namespace

void* OpenListEntry(const std::shared_ptr<DeviceList>& list, uint32_t index, bool* opened) {
    return OpenIndexed(index, list, opened, [&](CQVScan* engine) {
        // The transport opens a copy of the entry, taken under the registry
        // lock: the entry itself is read and written only under that lock.
        T_DevicesInfo entry;
        {
            std::lock_guard<std::mutex> lock(Reg().mutex);
            entry = list->entries[index];
        }
        return engine->OpenDevice(&entry, 0);
    });
}

}  // namespace qv

using namespace qv;

// An open that fails on the way (out of memory) is a failed open: its status
// is recorded under the null handle, as for any other failed open.
#define QV_OPEN_CATCH(name)                                          \
    catch (...) {                                                    \
        ::qv::NoteExportException(name);                             \
        try {                                                        \
            SetDeviceStatus(nullptr, QV_STATUS_OPEN_FAILED);         \
        } catch (...) {                                              \
        }                                                            \
        return nullptr;                                              \
    }

extern "C" {

QV_API void* qv_OpenDevice(T_DevicesInfo* list, uint32_t index, int32_t /*reserved: always a new engine*/) try {
    std::shared_ptr<DeviceList> current;
    {
        Registry& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (list == nullptr || index >= static_cast<uint32_t>(reg.listTotal)) {
            SetLastErrorCode(kErrInvalidParam);
            return nullptr;
        }
        if (!reg.currentList || reg.currentList->entries.data() != list) {
            SetLastErrorCode(kOk);  // not the list of the latest enumeration
            return nullptr;
        }
        current = reg.currentList;
    }
    return OpenListEntry(current, index);
} QV_OPEN_CATCH("qv_OpenDevice")

QV_API void* qv_OpenDeviceForNati(T_DevicesInfo* record, uint32_t index, int32_t /*reserved*/) try {
    if (record == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return nullptr;
    }
    void* handle = OpenIndexed(index, nullptr, nullptr, [&](CQVScan* engine) {
        // The record may be an entry of the current list: it is read and
        // written under the registry lock like every entry, and the transport
        // opens a copy.
        Registry& reg = Reg();
        T_DevicesInfo entry;
        {
            std::lock_guard<std::mutex> lock(reg.mutex);
            entry = *record;
        }
        T_DevicesInfo* opened = engine->OpenDeviceForNati(&entry);
        if (opened != nullptr) {
            std::lock_guard<std::mutex> lock(reg.mutex);
            record->pOpenStream = entry.pOpenStream;
            record->socket = entry.socket;
        }
        return opened;
    });
    QV_LOG("%s %d %p return\n", "qv_OpenDeviceForNati", __LINE__, handle);
    return handle;
} QV_OPEN_CATCH("qv_OpenDeviceForNati")

QV_API bool qv_CloseDevice(void** hDevice) try {
    if (hDevice == nullptr || *hDevice == nullptr) return false;
    // The list entry forgets the stream, but only in the list the handle came from.
    if (!CloseHandle(hDevice, true)) return false;
    SetLastErrorCode(kOk);
    return true;
} QV_EXPORT_CATCH("qv_CloseDevice", false)

QV_API bool qv_CloseDeviceForNati(void** hDevice) try {
    if (hDevice == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    const bool closed = CloseHandle(hDevice, false);
    if (closed) SetLastErrorCode(kOk);
    return closed;
} QV_EXPORT_CATCH("qv_CloseDeviceForNati", false)

QV_API bool qv_DeviceIsOpenByHandle(void* hDevice) try {
    if (hDevice == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    bool found = false;
    {
        Registry& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.mutex);
        // A handle whose device went away (hot-plug) is not open until it
        // comes back, although it keeps its index.
        for (auto& kv : reg.devIndexMap) {
            if (kv.second == hDevice) {
                found = reg.devOpenMap.count(kv.second) != 0;
                break;
            }
        }
    }
    SetLastErrorCode(kOk);
    return found;
} QV_EXPORT_CATCH("qv_DeviceIsOpenByHandle", false)

QV_API bool qv_DeviceIsOpenByList(T_DevicesInfo* list, uint32_t index) try {
    bool found = false;
    {
        Registry& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (list == nullptr || index >= static_cast<uint32_t>(reg.listTotal)) {
            SetLastErrorCode(kErrInvalidParam);
            return false;
        }
        found = reg.devIndexMap.count(index) != 0;
    }
    SetLastErrorCode(kOk);
    return found;
} QV_EXPORT_CATCH("qv_DeviceIsOpenByList", false)

QV_API T_DeviceStatus qv_GetDevStatus(void* hDevice) try {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.devStatusMap.find(static_cast<T_DevicesInfo*>(hDevice));
    if (it != reg.devStatusMap.end()) return it->second;
    return hDevice != nullptr ? QV_STATUS_UNKNOWN : QV_STATUS_CLOSED;
} QV_EXPORT_CATCH("qv_GetDevStatus", QV_STATUS_CLOSED)

QV_API void qv_SetCbDevStatusChanged(void* hDevice, QV_DEV_STATUS_CALLBACK callback) try {
    HandleUse use(hDevice);
    if (!use || callback == nullptr) {
        SetLastErrorCode(kErrInvalidParam);
        return;
    }
    InstallHotplugHooks();
    use.engine()->SetDevStatusCallback(use.record(), callback);
    SetLastErrorCode(kOk);
} QV_EXPORT_CATCH("qv_SetCbDevStatusChanged")

}  // extern "C"

#include "api/registry.h"

#include <chrono>

#include "core/errors.h"
#include "core/log.h"
#include "engine/qvscan.h"

namespace qv {

Registry& Reg() {
    static Registry* registry = [] {
        auto* r = new Registry;
        // The null handle's status exists from the start, so recording a failed
        // open never needs memory (an open may fail because there is none).
        r->devStatusMap[nullptr] = QV_STATUS_CLOSED;
        return r;
    }();
    return *registry;
}

void SetDeviceStatus(const void* handle, int32_t status) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.devStatusMap[static_cast<T_DevicesInfo*>(const_cast<void*>(handle))] = status;
}

HandleUse::HandleUse(const void* handle) {
    if (handle == nullptr) return;
    Registry& reg = Reg();
    T_DevicesInfo* key = static_cast<T_DevicesInfo*>(const_cast<void*>(handle));
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (reg.devOpenMap.count(key) == 0) return;
    auto it = reg.handles.find(key);
    if (it == reg.handles.end() || it->second->closing) return;
    state_ = it->second;
    ++state_->users;
}

HandleUse::~HandleUse() {
    if (!state_) return;
    Registry& reg = Reg();
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        --state_->users;
    }
    reg.changed.notify_all();
}

bool HandleIsOpen(const void* handle) {
    if (handle == nullptr) return false;
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.devOpenMap.count(static_cast<T_DevicesInfo*>(const_cast<void*>(handle))) != 0;
}

bool HandleIsListening(const void* handle) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.devListenMap.count(static_cast<T_DevicesInfo*>(const_cast<void*>(handle))) != 0;
}

namespace {

void WaitForListener(const std::shared_ptr<ListenerRun>& run, const char* caller) {
    // The loop notices the stop between its reads: at most one read time-out.
    for (;;) {
        const int32_t state = run->state.load();
        QV_LOG("%s pDevice->isAsynRead=%d", caller, state);
        if (state == kListenerStopped || state == kListenerReadError) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    WriteLog(kLogBoth, "%s %d AsynRead quit\n", caller, __LINE__);
}

}  // namespace

bool StopListenerOf(const void* handle, const char* caller, QV_LISTENER_CALLBACK* callback) {
    Registry& reg = Reg();
    std::shared_ptr<ListenerRun> run;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.devListenMap.find(static_cast<T_DevicesInfo*>(const_cast<void*>(handle)));
        if (it == reg.devListenMap.end()) {
            QV_LOG("%s %d no device\n", caller, __LINE__);
            return false;
        }
        if (callback != nullptr) *callback = it->first->listener;
        run = it->second;
        reg.devListenMap.erase(it);
    }
    // A stop requested from the listener's own callback cannot wait for its own
    // loop; the loop ends as soon as the callback returns.
    if (run->thread.load() == std::this_thread::get_id()) return true;
    WaitForListener(run, caller);
    return true;
}

namespace {

enum class CloseMode { kAlways, kUnlessShared };

bool CloseHandleImpl(void** handle, bool forgetListEntry, CloseMode mode) {
    if (handle == nullptr) return true;
    T_DevicesInfo* key = static_cast<T_DevicesInfo*>(*handle);
    Registry& reg = Reg();
    std::shared_ptr<HandleState> st;
    std::shared_ptr<ListenerRun> run;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = key == nullptr ? reg.handles.end() : reg.handles.find(key);
        const bool open = key != nullptr && reg.devOpenMap.count(key) != 0;
        // A handle that left the open set without being closed (a failed close)
        // is still in devIndexMap: it is closed fully now. A close already in
        // progress is left to finish (it may be waiting for this very thread,
        // when a listener callback closes its own handle).
        const bool closable = it != reg.handles.end() && !it->second->closing && (open || it->second->inIndexMap);
        if (closable && mode == CloseMode::kUnlessShared && it->second->grants > 1) {
            // Another open handed this handle out meanwhile: it is that caller's now.
            *handle = nullptr;
            return true;
        }
        if (closable) {
            st = it->second;
            st->closing = true;
            reg.devOpenMap.erase(key);
            auto lit = reg.devListenMap.find(key);
            if (lit != reg.devListenMap.end()) {
                run = lit->second;
                reg.devListenMap.erase(lit);
            }
            st->closingRun = run;
        }
    }
    if (!st) {
        WriteLog(kLogBoth, "CloseDevice");
        SetLastErrorCode(kOk);
        return true;
    }
    {
        // A firmware update is not cut short (a scanner left half written may
        // not start again): the close waits until it has ended. The update is
        // bounded by its own time budgets, and it never waits for this close.
        std::unique_lock<std::mutex> lock(reg.mutex);
        reg.changed.wait(lock, [&] { return !st->updating; });
    }
    // Cancel first: a blocked exchange would keep the uses from ending, and the
    // listener may itself be waiting for the engine lock that exchange holds.
    st->engine->Cancel(st->record);
    if (run && run->thread.load() != std::this_thread::get_id()) WaitForListener(run, "qv_StopListener");
    WriteLog(kLogBoth, "CloseDevice");
    {
        std::unique_lock<std::mutex> lock(reg.mutex);
        reg.changed.wait(lock, [&] { return st->users == 0; });
    }

    T_DevicesInfo* record = st->record;
    const bool closed = st->engine->CloseDevice(&record);
    CQVScan* engineToDelete = nullptr;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.devStatusMap[key] = closed ? QV_STATUS_CLOSED : QV_STATUS_CLOSE_FAILED;
        if (closed) {
            if (st->inIndexMap) {
                reg.devIndexMap.erase(st->index);
                reg.scanIndexMap.erase(st->index);
                st->inIndexMap = false;
                // The entry forgets the stream in the step that frees its index,
                // before any new open of the index can store its own.
                if (forgetListEntry && st->origin && reg.currentList == st->origin &&
                    st->index < st->origin->entries.size()) {
                    st->origin->entries[st->index].pOpenStream = nullptr;
                    st->origin->entries[st->index].socket = -1;
                }
            }
            reg.handles.erase(key);
            engineToDelete = st->engine;
            st->engine = nullptr;
            st->record = nullptr;
        } else {
            st->closing = false;  // left for a later close to finish
        }
        st->closingRun.reset();
    }
    reg.changed.notify_all();  // opens of the index wait for the close to end
    if (!closed) return false;
    delete engineToDelete;
    *handle = nullptr;
    QV_LOG("[%s] return", "CloseDevice");
    SetLastErrorCode(kOk);
    return true;
}

}  // namespace

bool CloseHandle(void** handle, bool forgetListEntry) {
    return CloseHandleImpl(handle, forgetListEntry, CloseMode::kAlways);
}

void CloseTemporaryHandle(void** handle) {
    CloseHandleImpl(handle, true, CloseMode::kUnlessShared);
    if (handle != nullptr) *handle = nullptr;
}

}  // namespace qv

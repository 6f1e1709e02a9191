// The listener: one detached thread per handle that reads barcode data and
// hands it to the application's callback.
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <thread>

#include "core/errors.h"
#include "api/export_guard.h"
#include "core/log.h"
#include "api/registry.h"
#include "api/thread_start.h"
#include "engine/qvscan.h"
#include "quorvia.h"

namespace qv {
namespace {

constexpr uint32_t kListenerRead = 5120;
constexpr int32_t kListenerReadTimeoutMs = 100;
constexpr int32_t kReconnectingCode = -5;  // the transport is reconnecting: try again later

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void SetState(T_DevicesInfo* record, int32_t state) {
    std::atomic_ref<int32_t>(record->isAsynRead).store(state);
}

// Takes a use of the handle for one read when this run is still the handle's
// listener and the handle is not being closed.
bool EnterRead(const std::shared_ptr<HandleState>& st, const std::shared_ptr<ListenerRun>& run) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (st->closing) return false;
    auto it = reg.devListenMap.find(st->record);
    if (it == reg.devListenMap.end() || it->second != run) return false;
    ++st->users;
    return true;
}

void LeaveRead(const std::shared_ptr<HandleState>& st) {
    Registry& reg = Reg();
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        --st->users;
    }
    reg.changed.notify_all();
}

// Ends the use EnterRead took, on every way out of a read.
struct ReadUse {
    const std::shared_ptr<HandleState>& st;
    ~ReadUse() { LeaveRead(st); }
};

// Records the final state in the handle's record, unless the handle is being
// closed (its record may then be gone) or a newer listener runs on it, and then
// in the run, which is what a stopping thread waits for: after that the loop
// touches nothing.
void Finish(const std::shared_ptr<HandleState>& st, const std::shared_ptr<ListenerRun>& run, int32_t state) {
    {
        Registry& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.devListenMap.find(st->record);
        const bool newer = it != reg.devListenMap.end() && it->second != run;
        if (!st->closing && st->record != nullptr && !newer) SetState(st->record, state);
    }
    run->state.store(state);
}

void RunListener(const std::shared_ptr<HandleState>& st, const std::shared_ptr<ListenerRun>& run,
                 QV_LISTENER_CALLBACK callback) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kListenerRead + 1]);
    if (!buffer) {
        Finish(st, run, kListenerReadError);
        return;
    }
    T_DevicesInfo* device = st->record;
    CQVScan* engine = st->engine;
    int32_t endState = kListenerStopped;
    for (;;) {
        if (!EnterRead(st, run)) break;
        int32_t rc = 0;
        {
            ReadUse use{st};
            SetState(device, kListenerRunning);
            std::memset(buffer.get(), 0, kListenerRead + 1);
            rc = engine->AsynRead(device, buffer.get(), kListenerRead, kListenerReadTimeoutMs);
        }
        if (rc == kReconnectingCode) {
            SleepMs(100);
            continue;
        }
        if (rc < 0) {
            endState = kListenerReadError;
            break;
        }
        if (rc == 1 && buffer[0] == '\0') continue;  // a lone zero byte is dropped
        if (rc == 0) {
            SleepMs(10);
            continue;
        }
        // No lock is held here: the callback may call any export, this
        // handle's close and stop included.
        callback(device, buffer.get(), static_cast<uint32_t>(rc < static_cast<int32_t>(kListenerRead) ? rc : kListenerRead));
        SleepMs(10);
    }
    buffer.reset();
    QV_LOG("-----out------\n");
    Finish(st, run, endState);
}

void ListenerLoop(std::shared_ptr<HandleState> st, std::shared_ptr<ListenerRun> run,
                  QV_LISTENER_CALLBACK callback) {
    run->thread.store(std::this_thread::get_id());
    try {
        RunListener(st, run, callback);
    } catch (const std::exception& e) {
        // Out of memory on this thread (or a callback that threw): the loop
        // ends as after a read error, and whoever waits for it is released.
        QV_LOG("%s %d listener ended: %s\n", "ListenerLoop", __LINE__, e.what());
        run->state.store(kListenerReadError);
    } catch (...) {
        run->state.store(kListenerReadError);
    }
}

}  // namespace

int32_t StartListenerOf(void* hDevice, QV_LISTENER_CALLBACK callback) {
    if (hDevice == nullptr || callback == nullptr || !HandleIsOpen(hDevice)) return kErrInvalidParam;
    StopListenerOf(hDevice, "qv_StopListener");

    Registry& reg = Reg();
    T_DevicesInfo* key = static_cast<T_DevicesInfo*>(hDevice);
    std::shared_ptr<HandleState> st;
    auto run = std::make_shared<ListenerRun>();
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.handles.find(key);
        if (reg.devOpenMap.count(key) == 0 || it == reg.handles.end() || it->second->closing) {
            return kErrInvalidParam;
        }
        if (reg.devListenMap.count(key) != 0) return kListenerStartedMeanwhile;
        st = it->second;
        reg.devListenMap[key] = run;
        key->listener = callback;
        // Running from now on, so a stop that comes before the thread's first
        // read waits for the thread instead of finding an idle state.
        SetState(key, kListenerRunning);
    }
    try {
        BeforeThreadStart();
        std::thread(ListenerLoop, st, run, callback).detach();
    } catch (const std::exception& e) {
        QV_LOG("%s %d cannot start the listener: %s", "qv_SetListener", __LINE__, e.what());
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.devListenMap.find(key);
        if (it != reg.devListenMap.end() && it->second == run) reg.devListenMap.erase(it);
        if (!st->closing) SetState(key, kListenerIdle);
        run->state.store(kListenerStopped);
        return kErrNoMemory;
    }
    return kOk;
}

}  // namespace qv

using namespace qv;

extern "C" {

QV_API void qv_SetListener(void* hDevice, QV_LISTENER_CALLBACK callback) try {
    const int32_t rc = StartListenerOf(hDevice, callback);
    if (rc != kListenerStartedMeanwhile) SetLastErrorCode(rc);
} QV_EXPORT_CATCH("qv_SetListener")

QV_API bool qv_StopListener(void* hDevice) try {
    if (hDevice == nullptr || !HandleIsOpen(hDevice)) {
        SetLastErrorCode(kErrInvalidParam);
        return true;
    }
    SetLastErrorCode(kOk);
    QV_LOG("%s %d begin\n", "qv_StopListener", __LINE__);
    StopListenerOf(hDevice, "qv_StopListener");
    return true;
} QV_EXPORT_CATCH("qv_StopListener", true)

}  // extern "C"

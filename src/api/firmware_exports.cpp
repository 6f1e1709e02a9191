// The firmware update export.
#include <exception>
#include <memory>
#include <mutex>

#include "api/export_guard.h"
#include "api/registry.h"
#include "core/errors.h"
#include "core/log.h"
#include "engine/qvscan.h"
#include "quorvia.h"

namespace qv {
namespace {

// The update takes the device over for its duration. Before it begins, the
// handle's listener is stopped (and remembered), with nothing held that a
// close from the listener's own callback could wait for; then the device's
// update lock is taken: a second update of the handle waits here until the
// first has ended, and a close waits for the lock to be free before it
// cancels anything. Afterwards the lock is freed and the listener starts
// again with the same callback, unless the handle is being closed or another
// listener runs by then.
class UpdateTakeover {
public:
    explicit UpdateTakeover(void* handle) : key_(static_cast<T_DevicesInfo*>(handle)) {
        Registry& reg = Reg();
        for (;;) {
            QV_LISTENER_CALLBACK running = nullptr;
            {
                std::lock_guard<std::mutex> lock(reg.mutex);
                if (reg.devListenMap.count(key_) != 0 && reg.devOpenMap.count(key_) != 0) running = key_->listener;
            }
            if (running != nullptr && StopListenerOf(key_, "qv_UpdateKernelDevice")) listener_ = running;

            std::unique_lock<std::mutex> lock(reg.mutex);
            auto it = reg.handles.find(key_);
            if (reg.devOpenMap.count(key_) == 0 || it == reg.handles.end() || it->second->closing) return;
            std::shared_ptr<HandleState> st = it->second;
            if (st->updating) {
                // Another update of this handle runs: after it, its listener
                // may run again and is stopped on the next pass.
                reg.changed.wait(lock, [&] { return !st->updating || st->closing; });
                continue;
            }
            if (reg.devListenMap.count(key_) != 0) continue;  // started meanwhile: stopped on the next pass
            st->updating = true;
            ++st->users;
            st_ = std::move(st);
            return;
        }
    }

    ~UpdateTakeover() {
        if (!st_) return;
        Registry& reg = Reg();
        bool restart = false;
        {
            std::lock_guard<std::mutex> lock(reg.mutex);
            st_->updating = false;
            --st_->users;
            restart = listener_ != nullptr && !st_->closing && reg.devOpenMap.count(key_) != 0 &&
                      reg.devListenMap.count(key_) == 0;
        }
        reg.changed.notify_all();
        if (!restart) return;
        try {
            const int32_t rc = StartListenerOf(key_, listener_);
            QV_LOG("%s %d listener started again: %d\n", "qv_UpdateKernelDevice", __LINE__, rc);
        } catch (const std::exception& e) {
            QV_LOG("%s %d listener not started again: %s\n", "qv_UpdateKernelDevice", __LINE__, e.what());
        }
    }

    UpdateTakeover(const UpdateTakeover&) = delete;
    UpdateTakeover& operator=(const UpdateTakeover&) = delete;

    explicit operator bool() const { return st_ != nullptr; }
    T_DevicesInfo* record() const { return st_->record; }
    CQVScan* engine() const { return st_->engine; }

private:
    T_DevicesInfo* key_;
    std::shared_ptr<HandleState> st_;
    QV_LISTENER_CALLBACK listener_ = nullptr;
};

}  // namespace
}  // namespace qv

using namespace qv;

extern "C" {

QV_API bool qv_UpdateKernelDevice(void* hDevice, const char* fileName, int32_t value, int32_t* updateResult) try {
    QV_LOG("%s %d begin\n", "qv_UpdateKernelDevice", __LINE__);
    if (hDevice == nullptr || fileName == nullptr || fileName[0] == '\0' || updateResult == nullptr ||
        !HandleIsOpen(hDevice)) {
        if (updateResult != nullptr) *updateResult = QV_FW_BAD_ARGUMENTS;
        SetLastErrorCode(kErrInvalidParam);
        return false;
    }
    bool ok = false;
    int32_t result = QV_FW_NOT_RUN;
    {
        UpdateTakeover takeover(hDevice);
        if (!takeover) {
            *updateResult = QV_FW_BAD_ARGUMENTS;
            SetLastErrorCode(kErrInvalidParam);
            return false;
        }
        SetDeviceStatus(hDevice, QV_STATUS_UPDATE_BEGIN);
        ok = takeover.engine()->UpdateKernelDevice(takeover.record(), fileName, value, &result);
        SetDeviceStatus(hDevice, QV_STATUS_UPDATE_END);
    }
    *updateResult = result;
    QV_LOG("[%s][%d] return ret=%d\n", "qv_UpdateKernelDevice", __LINE__, ok ? 1 : 0);
    if (ok) SetLastErrorCode(kOk);
    return ok;
} QV_EXPORT_CATCH("qv_UpdateKernelDevice", false)

}  // extern "C"

#include "transport/hotplug_monitor.h"

#include <atomic>
#include <chrono>
#include <system_error>

#include "core/log.h"
#include "platform/device_changes.h"
#include "transport/communication.h"

namespace qv {
namespace {

std::mutex& HooksMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

HotplugHooks& Hooks() {
    static HotplugHooks* hooks = new HotplugHooks;
    return *hooks;
}

}  // namespace

void SetHotplugHooks(const HotplugHooks& hooks) {
    std::lock_guard<std::mutex> lock(HooksMutex());
    Hooks() = hooks;
}

HotplugHooks GetHotplugHooks() {
    std::lock_guard<std::mutex> lock(HooksMutex());
    return Hooks();
}

struct HotplugMonitor::State {
    T_DevicesInfo* record = nullptr;
    QV_DEV_STATUS_CALLBACK callback = nullptr;
    std::unique_ptr<HotplugDevice> device;
    std::string name;
    HotplugTiming timing;
    std::unique_ptr<platform::DeviceChangeWatch> watch;

    mutable std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;
    bool ended = true;
    std::thread::id thread;
    std::atomic<bool> online{true};

    bool Stopping() const {
        std::lock_guard<std::mutex> lock(mutex);
        return stop;
    }
    // Sleeps up to ms; false when a stop came meanwhile.
    bool Pause(int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return !cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop; });
    }
    // Waits for a device event or the look interval; true when an event came.
    bool WaitForChange() {
        if (watch) return watch->Wait(timing.lookIntervalMs);
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::milliseconds(timing.lookIntervalMs), [&] { return stop; });
        return false;
    }
};

HotplugMonitor::HotplugMonitor(T_DevicesInfo* record, QV_DEV_STATUS_CALLBACK callback,
                               std::unique_ptr<HotplugDevice> device, const char* name, HotplugTiming timing)
    : state_(std::make_shared<State>()) {
    state_->record = record;
    state_->callback = callback;
    state_->device = std::move(device);
    state_->name = name;
    state_->timing = timing;
}

HotplugMonitor::~HotplugMonitor() { RequestStop(); }

void HotplugMonitor::Start() {
    state_->watch = platform::OpenDeviceChangeWatch(state_->device->WatchedPaths());
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->ended = false;
        state_->stop = false;
    }
    try {
        std::thread(Run, state_).detach();
    } catch (...) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->ended = true;
        throw;
    }
}

void HotplugMonitor::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stop = true;
    }
    state_->cv.notify_all();
    if (state_->watch) state_->watch->Wake();
}

void HotplugMonitor::Stop() {
    RequestStop();
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->thread == std::this_thread::get_id()) return;
    state_->cv.wait(lock, [&] { return state_->ended; });
}

bool HotplugMonitor::Online() const { return state_->online.load(); }

QV_DEV_STATUS_CALLBACK HotplugMonitor::Callback() const { return state_->callback; }

bool HotplugMonitor::Ended() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->ended;
}

void HotplugMonitor::Run(std::shared_ptr<State> st) {
    {
        std::lock_guard<std::mutex> lock(st->mutex);
        st->thread = std::this_thread::get_id();
    }
    T_DevicesInfo* record = st->record;
    HotplugDevice& device = *st->device;
    const HotplugHooks hooks = GetHotplugHooks();
    // After every reopen attempt of an arrival failed: wait for a later
    // device event before trying again (unless the device says otherwise).
    bool awaitEvent = false;
    bool changed = true;  // a device event came since the last look (the start counts as one)
    auto lastAsked = std::chrono::steady_clock::now();
    const auto presenceInterval = std::chrono::milliseconds(device.PresenceIntervalMs());
    try {
        while (!st->Stopping()) {
            const bool online = st->online.load();
            const auto now = std::chrono::steady_clock::now();
            const bool ask = !online || changed || now - lastAsked >= presenceInterval;
            if (ask) lastAsked = now;
            const bool present = ask ? device.Present() : true;
            if (online && (!present || device.Lost())) {
                device.Drop();
                if (hooks.leaveOpen != nullptr) hooks.leaveOpen(record);
                st->online.store(false);
                if (st->Stopping()) break;
                // No library lock is held: the callback may call any export.
                st->callback(record, 0);
            } else if (present && !online && !awaitEvent) {
                if (device.Cancelled()) break;
                bool reopened = false;
                for (int attempt = 0; attempt <= st->timing.retries && !st->Stopping(); ++attempt) {
                    if (device.Reopen(attempt)) {
                        reopened = true;
                        break;
                    }
                    if (!st->Pause(st->timing.retryPauseMs)) break;
                }
                if (st->Stopping()) break;
                if (!reopened) {
                    awaitEvent = !device.RetryOnNextLook();
                } else {
                    // Back among the open handles before the listener starts
                    // again: a listener is refused on a handle that is not open.
                    if (hooks.enterOpen != nullptr && !hooks.enterOpen(record)) break;
                    st->online.store(true);
                    if (std::atomic_ref<int32_t>(record->isAsynRead).load() == kListenerReadError &&
                        hooks.restartListener != nullptr) {
                        hooks.restartListener(record);
                    }
                    if (st->Stopping()) break;
                    st->callback(record, 1);
                }
            }
            if (st->Stopping()) break;
            changed = st->WaitForChange();
            if (changed) awaitEvent = false;
        }
    } catch (const std::exception& e) {
        QV_LOG("%s %d monitor ended: %s\n", st->name.c_str(), __LINE__, e.what());
    }
    QV_LOG("%s %d over\n", st->name.c_str(), __LINE__);
    {
        std::lock_guard<std::mutex> lock(st->mutex);
        st->ended = true;
    }
    st->cv.notify_all();
}

}  // namespace qv

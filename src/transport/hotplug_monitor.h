// Hot-plug monitoring of one open device: a thread that notices when the
// device goes away and when it comes back, closes and reopens its stream, and
// tells the application through its status callback (0 gone, 1 back).
//
// The transports say what "present", "reopen" and "drop" mean for their
// devices (HotplugDevice); the runner here is the same for all of them. The
// interface layer owns the open-handle set and the listeners: it hands the
// monitors its hooks (SetHotplugHooks) before any monitoring starts, so this
// layer never calls up into it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorvia.h"

namespace qv {

namespace platform {
class DeviceChangeWatch;
}

// What the interface layer does for a monitor. Each hook is called with no
// library lock held.
struct HotplugHooks {
    // Puts the handle back among the open handles. False when the handle is
    // being closed or is gone: the monitor then ends without a callback.
    bool (*enterOpen)(T_DevicesInfo* record) = nullptr;
    // Takes the handle out of the open handles (it stays closable).
    void (*leaveOpen)(T_DevicesInfo* record) = nullptr;
    // Starts the handle's listener again with its stored callback.
    void (*restartListener)(T_DevicesInfo* record) = nullptr;
};
void SetHotplugHooks(const HotplugHooks& hooks);
HotplugHooks GetHotplugHooks();

// A transport's side of one monitored device.
class HotplugDevice {
public:
    virtual ~HotplugDevice() = default;
    // Paths whose comings and goings concern the device (declared port paths).
    virtual std::vector<std::string> WatchedPaths() = 0;
    // Whether the device is there now.
    virtual bool Present() = 0;
    // True when the device's stream lost its handle although the device is
    // counted online (it went and came back between two looks): it is then
    // handled as gone, and as arrived at the next look.
    virtual bool Lost() = 0;
    // One attempt to open the device's stream again with its stored settings.
    // `retry` is 0 for the first attempt, then 1..5.
    virtual bool Reopen(int retry) = 0;
    // The device went away: its stream is closed (the stream object stays).
    virtual void Drop() = 0;
    // The handle is being closed: nothing is reopened any more.
    virtual bool Cancelled() = 0;
    // After all retries of an arrival failed: true when the next look may
    // try again at once; false when it waits for a later device event.
    virtual bool RetryOnNextLook() = 0;
    // How often an online device's presence is asked when no device event
    // came meanwhile (0: at every look). A device whose presence costs a
    // scan of the system asks seldom: its loss shows at once as a lost
    // stream (Lost), and a device event makes the next look ask anyway.
    virtual int PresenceIntervalMs() { return 0; }
};

// Timing of a monitor; the defaults are the system's.
struct HotplugTiming {
    int lookIntervalMs = 100;  // longest wait between two looks when no event comes
    int retries = 5;           // reopen retries after a failed first attempt
    int retryPauseMs = 1000;   // pause after each failed attempt
};

class HotplugMonitor {
public:
    HotplugMonitor(T_DevicesInfo* record, QV_DEV_STATUS_CALLBACK callback, std::unique_ptr<HotplugDevice> device,
                   const char* name, HotplugTiming timing = {});
    ~HotplugMonitor();
    HotplugMonitor(const HotplugMonitor&) = delete;
    HotplugMonitor& operator=(const HotplugMonitor&) = delete;

    // Starts the thread. Throws std::system_error when it cannot be started.
    void Start();
    // Asks the thread to end, without waiting: it ends at its next step, and
    // a wait or a pause between retries ends at once.
    void RequestStop();
    // Asks the thread to end and waits until it has. Called from the thread
    // itself (from inside the status callback) it only asks: the thread then
    // ends as soon as the callback returns and touches nothing of the device.
    void Stop();
    // The online flag: 1 from the start, 0 while the device is away.
    bool Online() const;
    // True once the thread has ended (or never started).
    bool Ended() const;
    QV_DEV_STATUS_CALLBACK Callback() const;

private:
    struct State;
    static void Run(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
};

}  // namespace qv

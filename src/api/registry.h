// The interface layer's registries: open handles, listeners, per-index engines
// and handles, operation status, and the current device list. One lock guards
// them all; it is never held while a device is used or a callback runs.
//
// Every export that works on a handle takes a HandleUse: it succeeds only for
// an open handle and keeps the handle's record and engine alive until the
// export returns. A close takes the handle out of the open set first, then
// cancels what runs on the device (blocked reads and writes return their
// failure at once), waits for the listener and the uses in flight to end, and
// only then closes the device. So a close always ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "quorvia.h"

namespace qv {

class CQVScan;

// One enumeration's result; its entries are what qv_EnumDevices returns.
struct DeviceList {
    std::vector<T_DevicesInfo> entries;
};

// Book-keeping of one handle from its open until it is fully closed.
// One run of a listener loop.
struct ListenerRun {
    std::atomic<int32_t> state{2};             // mirrors isAsynRead; 3 or 4 once the loop is over
    std::atomic<std::thread::id> thread{};     // the loop's thread, set when it starts
};

struct HandleState {
    T_DevicesInfo* record = nullptr;      // the handle itself
    CQVScan* engine = nullptr;            // owned; deleted by the close
    uint32_t index = 0;                   // list index or the caller's key
    bool inIndexMap = false;              // devIndexMap[index] is this handle
    std::shared_ptr<DeviceList> origin;   // list it was opened from; null for caller records
    int users = 0;                        // exports and listener reads in flight
    bool closing = false;                 // a close has begun
    uint64_t grants = 0;                  // times an open handed this handle out
    std::shared_ptr<ListenerRun> closingRun;  // the listener the close waits for
    // The device's update lock: a firmware update runs on the handle. Taken
    // and released under the registry lock; a close waits until it is free.
    bool updating = false;
};

struct Registry {
    std::mutex mutex;
    std::condition_variable changed;  // users dropped, an open finished

    std::map<T_DevicesInfo*, bool> devOpenMap;                           // open handles
    std::map<T_DevicesInfo*, std::shared_ptr<ListenerRun>> devListenMap; // running listeners
    std::map<uint32_t, CQVScan*> scanIndexMap;                           // index -> engine
    std::map<uint32_t, T_DevicesInfo*> devIndexMap;                      // index -> handle
    std::map<T_DevicesInfo*, int32_t> devStatusMap;                      // handle -> last status
    std::map<T_DevicesInfo*, std::shared_ptr<HandleState>> handles;      // every handle not yet closed
    std::set<uint32_t> openingIndices;                                   // opens in progress

    std::shared_ptr<DeviceList> currentList;  // the list of the latest enumeration
    int32_t listTotal = 0;
};

// The process-wide registry (never destroyed: detached listener threads may
// still look at it while the process exits).
Registry& Reg();

// Records an operation status for a handle (the null handle included).
void SetDeviceStatus(const void* handle, int32_t status);

class HandleUse {
public:
    explicit HandleUse(const void* handle);
    ~HandleUse();
    HandleUse(const HandleUse&) = delete;
    HandleUse& operator=(const HandleUse&) = delete;

    explicit operator bool() const { return state_ != nullptr; }
    T_DevicesInfo* record() const { return state_->record; }
    CQVScan* engine() const { return state_->engine; }
    const std::shared_ptr<HandleState>& state() const { return state_; }

private:
    std::shared_ptr<HandleState> state_;
};

// True when the handle is in the open set.
bool HandleIsOpen(const void* handle);

// True when the handle has a running listener.
bool HandleIsListening(const void* handle);

// Fully closes a handle: cancels what runs on its device, stops its listener,
// waits for the uses in flight, closes the device and drops its registry
// entries; with `forgetListEntry` the list entry it was opened from forgets its
// stream, in the same step that frees the index. Writes the log line
// "CloseDevice" for every handle, open or not. True when nothing was open.
// Sets *handle to null when it closed it.
bool CloseHandle(void** handle, bool forgetListEntry);

// Opens entry `index` of a device list (the caller holds a reference to it) as
// qv_OpenDevice does: the handle already open for the index, or a new one.
// *opened (when given) tells whether this call opened the device; it is
// decided in the same step as the open.
void* OpenListEntry(const std::shared_ptr<DeviceList>& list, uint32_t index, bool* opened = nullptr);

// Closes a handle that OpenListEntry opened for a query of its own, as
// qv_CloseDevice does, unless another open handed the handle out meanwhile:
// then it stays open for that caller. Sets *handle to null either way.
void CloseTemporaryHandle(void** handle);

// Stops the listener of a handle and waits for its loop to end (unless called
// from that loop's own callback). False when the handle had no listener.
// *callback (when given) receives the stopped listener's callback.
bool StopListenerOf(const void* handle, const char* caller, QV_LISTENER_CALLBACK* callback = nullptr);

// Starts a listener on an open handle as qv_SetListener does (a running one
// is stopped first). Returns kOk, kErrInvalidParam (handle not open or being
// closed, no callback), kErrNoMemory (no thread) or kListenerStartedMeanwhile
// (another thread started one after the stop: that one runs); sets no error
// text.
constexpr int32_t kListenerStartedMeanwhile = 1;
int32_t StartListenerOf(void* handle, QV_LISTENER_CALLBACK callback);

}  // namespace qv

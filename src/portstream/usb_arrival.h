// USB scanners that come back during a firmware update: a scanner on a USB
// device path may drop off the bus when it switches into or out of its boot
// loader and come back under its update-mode product ID (the identity differs
// only in the product ID's second hexadecimal digit, '3' and 'A' swapped), or
// as a port of the vendor's virtual COM bus. The update follows it with this
// monitor and reopens the stream where it came back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "quorvia.h"

namespace qv {

// The reference an arrival is compared with: the device path cut after its
// identity's product ID ("hid#vid_5ec7&pid_1310#1-1:1.0" -> "hid#vid_5ec7&pid_1310").
std::string UsbArrivalReference(const std::string& path);

// True when `candidate` is the device of `reference` (a UsbArrivalReference)
// back on the bus, under the same or the toggled product ID.
bool UsbArrivalMatches(const std::string& reference, const std::string& candidate);

// Watches the interfaces of the device's class and the COM-port list every
// 50 ms, and records the first arrival after the start or the last
// ResetArrival: an interface that matches the device (see above) or a port
// of the vendor's virtual COM bus.
class UsbArrivalMonitor {
public:
    UsbArrivalMonitor() = default;
    ~UsbArrivalMonitor();
    UsbArrivalMonitor(const UsbArrivalMonitor&) = delete;
    UsbArrivalMonitor& operator=(const UsbArrivalMonitor&) = delete;

    // Starts watching for the device a path descriptor names (what is present
    // now does not count as an arrival). False when the thread cannot be
    // started, the descriptor names no path, or the monitor runs already.
    bool Start(const UsbDeviceDescriptor& device);
    void Stop();
    bool Running();
    void ResetArrival();

    struct Arrival {
        std::string path;  // the interface that arrived, or
        uint32_t com = 0;  // the virtual COM port that arrived
    };
    // Waits up to waitMs for an arrival; false when none came.
    bool WaitArrival(int32_t waitMs, Arrival* arrival);

    // One look (the thread's step; for tests).
    void Poll();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
    bool running_ = false;
    bool stop_ = false;
    bool hid_ = true;
    std::string reference_;
    bool arrived_ = false;
    Arrival arrival_;
    std::set<std::string> presentPaths_;
    std::set<uint32_t> presentPorts_;
};

}  // namespace qv

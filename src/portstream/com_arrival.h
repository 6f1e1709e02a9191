// COM ports that come back: what the firmware update needs to follow a
// scanner that drops off the line while it switches into or out of its boot
// loader (a USB virtual COM port re-enumerates, possibly as another COM port).
//
// On Linux a COM port is an entry of the COM-port list (declared ports and the
// system's ttys); it is present while its device path exists. A port that
// belongs to the scanner vendor's virtual COM bus is one declared with the
// driver word "qvs_vcom_" or "qvs_vcom_fdo_" (the Windows driver of that bus).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "quorvia.h"

// The descriptor of COM port `com` of the current list: its device path and
// device kind 10. *virtualBus tells whether the port is on the vendor's
// virtual COM bus. False when the list has no such port.
bool qvds_com_port_descriptor(uint32_t com, UsbDeviceDescriptor* descriptor, bool* virtualBus);

// True for a port whose driver device name ("\Device\<driver word><n>") is
// the vendor's virtual COM bus (driver words "qvs_vcom_", "qvs_vcom_fdo_").
bool qvds_is_virtual_bus_port(const std::string& deviceName);

namespace qv {

// The update device-change monitor for COM ports: a thread that looks at the
// COM-port list every 50 ms and records the first port that arrives (was
// absent, and is present now) after the start or the last ResetArrival: the
// watched port itself, or, when a virtual COM port is expected, another port
// of the vendor's virtual COM bus.
class ComArrivalMonitor {
public:
    ComArrivalMonitor() = default;
    ~ComArrivalMonitor();
    ComArrivalMonitor(const ComArrivalMonitor&) = delete;
    ComArrivalMonitor& operator=(const ComArrivalMonitor&) = delete;

    // Starts watching (what is present now does not count as an arrival).
    // False when the thread cannot be started or the monitor runs already.
    bool Start(uint32_t com, bool expectVirtualCom);
    void Stop();
    bool Running();
    void ResetArrival();
    // Waits up to waitMs for an arrival: the COM number that arrived, or 0.
    uint32_t WaitArrival(int32_t waitMs);

    // One look at the list (the thread's step; for tests).
    void Poll();

private:
    void Run();
    bool Accepts(uint32_t number, const std::string& path, const std::string& driver) const;

    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
    bool running_ = false;
    bool stop_ = false;
    uint32_t watched_ = 0;
    std::string watchedPath_;
    bool expectVirtualCom_ = false;
    uint32_t arrived_ = 0;
    std::map<uint32_t, std::string> present_;  // number -> path of the ports present at the last look
};

}  // namespace qv

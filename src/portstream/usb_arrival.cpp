#include "portstream/usb_arrival.h"

#include <chrono>
#include <cctype>
#include <vector>

#include "core/log.h"
#include "platform/device_changes.h"
#include "platform/usb_devices.h"
#include "portstream/com_arrival.h"
#include "portstream/com_port_list.h"
#include "portstream/qvds.h"
#include "portstream/usb_device_table.h"

namespace qv {
namespace {

constexpr auto kLookInterval = std::chrono::milliseconds(50);

// The virtual COM bus ports of the current list that are there (a declared
// port is listed whether its path exists or not).
std::set<uint32_t> VirtualBusPorts() {
    std::set<uint32_t> ports;
    for (const platform::ComPortInfo& info : ListComPorts()) {
        if (qvds_is_virtual_bus_port(info.deviceName) && platform::DeviceNodePresent(info.path)) {
            ports.insert(info.number);
        }
    }
    return ports;
}

}  // namespace

std::string UsbArrivalReference(const std::string& path) {
    // "\\?\" of a Windows path stays in front; the identity ends at the second
    // separator after it.
    const size_t skip = path.rfind("\\\\?\\", 0) == 0 ? 4 : 0;
    const size_t first = path.find_first_of("\\#", skip);
    if (first == std::string::npos) return path;
    std::string ref = path;
    ref[first] = '#';
    const size_t second = ref.find_first_of("\\#", first + 1);
    if (second != std::string::npos) ref.resize(second);
    // Only the product ID: an interface part ("&mi_01") is no part of it.
    const size_t mi = ref.find("&mi_", first);
    if (mi != std::string::npos) ref.resize(mi);
    return ref;
}

bool UsbArrivalMatches(const std::string& reference, const std::string& candidate) {
    std::string c = candidate;
    const size_t first = c.find_first_of("\\#", c.rfind("\\\\?\\", 0) == 0 ? 4 : 0);
    if (first != std::string::npos) c[first] = '#';
    return UsbPathMatchesWithToggle(reference, c);
}

UsbArrivalMonitor::~UsbArrivalMonitor() { Stop(); }

bool UsbArrivalMonitor::Start(const UsbDeviceDescriptor& device) {
    std::string path;
    if (!qvds_descriptor_path(device, &path) || path.empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return false;
    reference_ = UsbArrivalReference(path);
    hid_ = device.deviceKind != QVDS_KIND_VENDOR;
    arrived_ = false;
    stop_ = false;
    presentPaths_.clear();
    for (const platform::UsbInterface& i :
         platform::ListUsbInterfaces(hid_ ? platform::UsbClass::kHid : platform::UsbClass::kVendor)) {
        presentPaths_.insert(i.path);
    }
    presentPorts_ = VirtualBusPorts();
    try {
        thread_ = std::thread(&UsbArrivalMonitor::Run, this);
    } catch (const std::exception& e) {
        QV_LOG("%s %d no monitor thread: %s\n", "UsbArrivalMonitor", __LINE__, e.what());
        return false;
    }
    running_ = true;
    QV_LOG("%s %d watching %s\n", "UsbArrivalMonitor", __LINE__, reference_.c_str());
    return true;
}

void UsbArrivalMonitor::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return;
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
}

bool UsbArrivalMonitor::Running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void UsbArrivalMonitor::ResetArrival() {
    std::lock_guard<std::mutex> lock(mutex_);
    arrived_ = false;
    arrival_ = Arrival{};
}

bool UsbArrivalMonitor::WaitArrival(int32_t waitMs, Arrival* arrival) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return arrived_ || !running_; }) ||
        !arrived_) {
        return false;
    }
    if (arrival != nullptr) *arrival = arrival_;
    return true;
}

void UsbArrivalMonitor::Poll() {
    bool hid = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hid = hid_;
    }
    std::set<std::string> paths;
    for (const platform::UsbInterface& i :
         platform::ListUsbInterfaces(hid ? platform::UsbClass::kHid : platform::UsbClass::kVendor)) {
        paths.insert(i.path);
    }
    const std::set<uint32_t> ports = VirtualBusPorts();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!arrived_) {
        for (const std::string& p : paths) {
            if (presentPaths_.count(p) == 0 && UsbArrivalMatches(reference_, p)) {
                arrived_ = true;
                arrival_ = Arrival{p, 0};
                QV_LOG("%s %d arrived %s\n", "UsbArrivalMonitor", __LINE__, p.c_str());
                break;
            }
        }
    }
    if (!arrived_) {
        for (uint32_t com : ports) {
            if (presentPorts_.count(com) == 0) {
                arrived_ = true;
                arrival_ = Arrival{std::string(), com};
                QV_LOG("%s %d arrived COM%u\n", "UsbArrivalMonitor", __LINE__, com);
                break;
            }
        }
    }
    presentPaths_ = std::move(paths);
    presentPorts_ = ports;
    if (arrived_) cv_.notify_all();
}

void UsbArrivalMonitor::Run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (cv_.wait_for(lock, kLookInterval, [&] { return stop_; })) break;
        }
        Poll();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    cv_.notify_all();
}

}  // namespace qv

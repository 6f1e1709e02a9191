#include "portstream/com_arrival.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <vector>

#include "core/log.h"
#include "portstream/com_port_list.h"

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(50);

bool PathPresent(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// The ports of the current list whose device path exists.
std::map<uint32_t, std::pair<std::string, std::string>> PresentPorts() {
    std::map<uint32_t, std::pair<std::string, std::string>> out;
    for (const qv::platform::ComPortInfo& port : qv::ListComPorts()) {
        if (PathPresent(port.path)) out[port.number] = {port.path, port.deviceName};
    }
    return out;
}

}  // namespace

bool qvds_is_virtual_bus_port(const std::string& deviceName) {
    static const char kPrefix[] = "\\device\\qvs_vcom_";  // also "qvs_vcom_fdo_"
    const size_t n = sizeof kPrefix - 1;
    if (deviceName.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(deviceName[i])) != kPrefix[i]) return false;
    }
    return true;
}

bool qvds_com_port_descriptor(uint32_t com, UsbDeviceDescriptor* descriptor, bool* virtualBus) {
    if (descriptor == nullptr) return false;
    for (const qv::platform::ComPortInfo& port : qv::ListComPorts()) {
        if (port.number != com) continue;
        *descriptor = UsbDeviceDescriptor{};
        // The path as UTF-16 units (device paths are ASCII here; other bytes
        // are carried over one by one and only ever compared).
        const size_t n = std::min(port.path.size(), sizeof descriptor->path / sizeof descriptor->path[0] - 1);
        for (size_t i = 0; i < n; ++i) descriptor->path[i] = static_cast<unsigned char>(port.path[i]);
        descriptor->deviceKind = 10;
        descriptor->deviceKindCopy = 10;
        if (virtualBus != nullptr) *virtualBus = qvds_is_virtual_bus_port(port.deviceName);
        return true;
    }
    return false;
}

namespace qv {

ComArrivalMonitor::~ComArrivalMonitor() { Stop(); }

bool ComArrivalMonitor::Start(uint32_t com, bool expectVirtualCom) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (running_) return false;
    watched_ = com;
    watchedPath_.clear();
    for (const platform::ComPortInfo& port : ListComPorts()) {
        if (port.number == com) watchedPath_ = port.path;
    }
    expectVirtualCom_ = expectVirtualCom;
    arrived_ = 0;
    stop_ = false;
    lock.unlock();
    const auto ports = PresentPorts();  // what is present now is the starting point
    lock.lock();
    present_.clear();
    for (const auto& [number, port] : ports) present_[number] = port.first;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::exception& e) {
        QV_LOG("%s %d monitor thread not started: %s\n", "ComArrivalMonitor", __LINE__, e.what());
        return false;
    }
    running_ = true;
    QV_LOG("%s %d watching COM%u (%s), virtual COM expected: %d\n", "ComArrivalMonitor", __LINE__, com,
           watchedPath_.c_str(), expectVirtualCom ? 1 : 0);
    return true;
}

void ComArrivalMonitor::Stop() {
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

bool ComArrivalMonitor::Running() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void ComArrivalMonitor::ResetArrival() {
    std::lock_guard<std::mutex> lock(mutex_);
    arrived_ = 0;
}

uint32_t ComArrivalMonitor::WaitArrival(int32_t waitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(waitMs < 0 ? 0 : waitMs), [this] { return arrived_ != 0 || stop_; });
    return arrived_;
}

bool ComArrivalMonitor::Accepts(uint32_t number, const std::string& path, const std::string& driver) const {
    if (number == watched_) return true;
    return expectVirtualCom_ && path != watchedPath_ && qvds_is_virtual_bus_port(driver);
}

void ComArrivalMonitor::Poll() {
    const auto ports = PresentPorts();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [number, port] : ports) {
        const auto before = present_.find(number);
        const bool arrived = before == present_.end() || before->second != port.first;
        if (arrived && arrived_ == 0 && Accepts(number, port.first, port.second)) {
            arrived_ = number;
            QV_LOG("%s %d COM%u arrived (%s)\n", "ComArrivalMonitor", __LINE__, number, port.first.c_str());
            cv_.notify_all();
        }
    }
    present_.clear();
    for (const auto& [number, port] : ports) present_[number] = port.first;
}

void ComArrivalMonitor::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        cv_.wait_for(lock, kPollPeriod, [this] { return stop_; });
        if (stop_) break;
        lock.unlock();
        try {
            Poll();
        } catch (const std::exception& e) {
            QV_LOG("%s %d %s\n", "ComArrivalMonitor", __LINE__, e.what());
        }
        lock.lock();
    }
}

}  // namespace qv

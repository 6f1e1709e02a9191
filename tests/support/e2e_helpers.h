// Small helpers for tests that drive the library through its exports against
// quorvia-sim.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "quorvia.h"
#include "sim_process.h"
#include "test_env.h"

namespace qvtest {

// Polls `cond` every 5 ms until it holds or `limitMs` passes (hang guard).
inline bool WaitFor(const std::function<bool()>& cond, int limitMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline long long MsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count();
}

// A simulator whose ports are the only COM ports the library sees, and the
// list of one enumeration of them (released at the end).
class SimDevices {
public:
    SimDevices(std::initializer_list<SimProcess::Port> ports, uint32_t flags = QV_ENUM_COM)
        : sim_(ports), env_("QUORVIA_COM_PORTS", sim_.declaration()) {
        if (!sim_.ok()) return;
        list_ = qv_EnumDevices(&count_, flags);
    }
    // With network scanners too; `enumerate` false leaves the enumeration to
    // the caller (see NetDevices).
    SimDevices(std::initializer_list<SimProcess::Port> ports, std::initializer_list<SimProcess::NetScanner> net,
               uint32_t flags, bool enumerate)
        : sim_(ports, net), env_("QUORVIA_COM_PORTS", sim_.declaration()) {
        if (sim_.ok() && enumerate) list_ = qv_EnumDevices(&count_, flags);
    }
    ~SimDevices() { qv_ReleaseDevices(&list_); }

    SimProcess& sim() { return sim_; }
    T_DevicesInfo* list() const { return list_; }
    T_DevicesInfo*& listRef() { return list_; }
    int32_t count() const { return count_; }
    // Index of the entry whose COM number is `com`, or -1.
    int IndexOf(int com) const {
        for (int i = 0; i < count_; ++i) {
            if (list_[i].SerialSettings.port_number == com) return i;
        }
        return -1;
    }
    // Enumerates again (the previous list is released by the library).
    void Reenumerate(uint32_t flags = QV_ENUM_COM) { list_ = qv_EnumDevices(&count_, flags); }

private:
    SimProcess sim_;
    ScopedEnv env_;
    T_DevicesInfo* list_ = nullptr;
    int32_t count_ = 0;
};

}  // namespace qvtest

// The simulated scanner's settings table and the command frames it received,
// read through the simulator's control channel. Plain C++, no gtest.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim_process.h"

// One scanner's settings in table order, and its calibration (the value it
// answers to DFMQCU).
struct SimSettings {
    std::vector<std::pair<std::string, std::string>> settings;
    std::string calibration;
    bool ok = false;

    // The value of a setting; `found` tells whether the table has it.
    std::string value(std::string_view name, bool* found = nullptr) const;
};

// `cfg <com>` decoded.
SimSettings sim_settings(SimProcess& sim, int com);

// `frames <com>` decoded: the command frames received since the last call.
std::vector<std::string> sim_frames(SimProcess& sim, int com);

// Bytes of upper- or lower-case hex digits (no separators); empty on bad input.
std::string sim_unhex(std::string_view hex);

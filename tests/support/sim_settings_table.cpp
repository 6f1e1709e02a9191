#include "sim_settings_table.h"

#include <sstream>

std::string SimSettings::value(std::string_view name, bool* found) const {
    for (const auto& [n, v] : settings) {
        if (n == name) {
            if (found != nullptr) *found = true;
            return v;
        }
    }
    if (found != nullptr) *found = false;
    return std::string();
}

std::string sim_unhex(std::string_view hex) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    if (hex.size() % 2 != 0) return out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = digit(hex[i]);
        const int lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return std::string();
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

SimSettings sim_settings(SimProcess& sim, int com) {
    SimSettings out;
    const std::string reply = sim.command("cfg " + std::to_string(com));
    if (reply.rfind("OK ", 0) != 0) return out;
    std::istringstream words(reply.substr(3));
    std::string word;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos) return out;
        const std::string name = word.substr(0, eq);
        const std::string value = sim_unhex(std::string_view(word).substr(eq + 1));
        if (name == "cal") {
            out.calibration = value;
        } else {
            out.settings.emplace_back(name, value);
        }
    }
    out.ok = true;
    return out;
}

std::vector<std::string> sim_frames(SimProcess& sim, int com) {
    std::vector<std::string> frames;
    const std::string reply = sim.command("frames " + std::to_string(com));
    if (reply.rfind("OK", 0) != 0) return frames;
    std::istringstream words(reply.substr(2));
    std::string word;
    while (words >> word) frames.push_back(sim_unhex(word));
    return frames;
}

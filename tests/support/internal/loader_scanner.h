// A whole simulated scanner for in-process tests of the update protocol: the
// application side (it answers the probe '?' with '!' and takes the switch
// frames) and quorvia-sim's boot loader logic (sim_loader.h), with a line
// speed when the test gives the scanner one.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim_loader.h"

namespace qvtest {

class LoaderScanner {
public:
    // appBaud 0: no line (everything is understood).
    explicit LoaderScanner(uint32_t appBaud = 0) : appBaud_(appBaud) {}

    qvsim::LoaderScript& script() { return script_; }
    qvsim::SimLoader& loader() { return loader_; }
    // Whether the application hears a switch frame of this kind (default yes).
    void IgnoreSwitch(qvsim::SwitchFrame frame) { ignored_ = frame; }

    // Bytes from the host, sent at `hostBaud` (0: no line); returns the answer.
    std::string Feed(std::string_view bytes, uint32_t hostBaud);

private:
    void Application(std::string_view bytes, uint32_t hostBaud, std::string& out);

    uint32_t appBaud_;
    qvsim::LoaderScript script_;
    qvsim::SimLoader loader_{script_};
    std::optional<qvsim::SwitchFrame> ignored_;
    std::string switchBuf_;
};

}  // namespace qvtest

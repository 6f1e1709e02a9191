// Operating-system service: the system's own COM ports with the driver's
// device name. (Ports declared in the configuration are added by the port
// list of the port-stream layer.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv::platform {

struct ComPortInfo {
    uint32_t number = 0;     // COM number, 1..65535
    std::string path;        // device path to open
    std::string deviceName;  // the driver's device name as the port classifier reads it,
                             // for example "\Device\Serial0" or "\Device\USBSER000"
};

// Ports found under <sysRoot>/class/tty with a device behind them, numbered
// ttyS<n> -> COM n+1, ttyUSB<n> -> COM 101+n, ttyACM<n> -> COM 201+n,
// ttyAMA<n> -> COM 301+n, any other such tty -> COM 401 and up in name order.
// Protected ttys, and 8250 ports without a UART, are left out.
std::vector<ComPortInfo> ListSystemPorts(const std::string& sysRoot, const std::string& devRoot);

}  // namespace qv::platform

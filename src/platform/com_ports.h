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

// Ports found under <sysRoot>/class/tty with a device behind them, in name
// order, numbered as ComNumbersForTtys says. Protected ttys, and 8250 ports
// without a UART, are left out.
std::vector<ComPortInfo> ListSystemPorts(const std::string& sysRoot, const std::string& devRoot);

// The COM numbers of ttys by name, in the order given; no two ttys share one.
// Each family has 1000 numbers: ttyS<n> -> COM n+1, ttyUSB<n> -> COM 1001+n,
// ttyACM<n> -> COM 2001+n, ttyAMA<n> -> COM 3001+n (n < 1000, written without
// leading zeros). Every other tty with a number, and a family tty outside its
// range, gets the next of COM 4001..65535 in name order. 0 for a tty left
// without a number: one without a trailing number, or one beyond COM65535.
std::vector<uint32_t> ComNumbersForTtys(const std::vector<std::string>& names);

}  // namespace qv::platform

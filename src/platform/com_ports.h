// Operating-system service: the list of COM ports with the driver's device
// name, and opening a COM port by number.
//
// A COM number maps to a device path. Ports come from two sources:
//   - declared ports: the environment variable QUORVIA_COM_PORTS and the
//     section [ports] of the settings file, entries "COM<n>=<path>[:<driver word>]";
//   - system ports found under /sys/class/tty (unless SystemPorts / the
//     environment variable QUORVIA_SYSTEM_PORTS is 0).
// Protected ttys (see TtyIsProtected) never appear in the list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/serial_port.h"

namespace qv::platform {

struct ComPortInfo {
    uint32_t number = 0;     // COM number, 1..65535
    std::string path;        // device path to open
    std::string deviceName;  // the driver's device name as the port classifier reads it,
                             // for example "\Device\Serial0" or "\Device\USBSER000"
};

// Where the list comes from; the defaults describe the running system.
struct ComPortSources {
    std::string sysRoot = "/sys";                                        // root of the sysfs tree
    std::string devRoot = "/dev";                                        // where system ttys live
    std::string declaredEnv;                                             // QUORVIA_COM_PORTS text
    std::vector<std::pair<std::string, std::string>> declaredSettings;   // [ports] key/value pairs
    bool systemPorts = true;                                             // list ports found in sysfs
};

// The sources of the running process: environment and settings file.
ComPortSources CurrentComPortSources();

// Every COM port, in ascending COM number. A declared port wins over a system
// port with the same number.
std::vector<ComPortInfo> ListComPorts(const ComPortSources& sources);
std::vector<ComPortInfo> ListComPorts();

// Parses declared ports "COM<n>=<path>[:<driver word>]" separated by ';'
// (the driver word defaults to "serial"). Malformed entries are skipped.
std::vector<ComPortInfo> ParseDeclaredPorts(const std::string& text);

// Ports found in sysfs, numbered ttyS<n> -> COM n+1, ttyUSB<n> -> COM 101+n,
// ttyACM<n> -> COM 201+n, ttyAMA<n> -> COM 301+n, any other tty with a device
// behind it -> COM 401 and up in name order.
std::vector<ComPortInfo> ListSystemPorts(const std::string& sysRoot, const std::string& devRoot);

// Opens COM port `number` of the current list exclusively (OpenTtyPath).
// Status 2 when the number is not in the list.
std::unique_ptr<PortDevice> OpenComPort(uint32_t number, uint32_t* status);

}  // namespace qv::platform

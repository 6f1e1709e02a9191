// The COM-port list and opening a COM port by number.
//
// A COM number maps to a device path. Ports come from two sources:
//   - declared ports: the environment variable QUORVIA_COM_PORTS and the
//     section [ports] of the settings file, entries "COM<n>=<path>[:<driver word>]";
//   - the system's own ports (unless SystemPorts / QUORVIA_SYSTEM_PORTS is 0).
// Protected ttys (see platform::TtyIsProtected) never appear in the list.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/com_ports.h"
#include "platform/serial_port.h"

namespace qv {

// Where the list comes from; the defaults describe the running system.
struct ComPortSources {
    std::string sysRoot = "/sys";                                        // root of the sysfs tree
    std::string devRoot = "/dev";                                        // where system ttys live
    std::string declaredEnv;                                             // QUORVIA_COM_PORTS text
    std::vector<std::pair<std::string, std::string>> declaredSettings;   // [ports] key/value pairs
    bool systemPorts = true;                                             // list the system's ports
};

// The sources of the running process: environment and settings file.
ComPortSources CurrentComPortSources();

// Parses declared ports "COM<n>=<path>[:<driver word>]" separated by ';'
// (the driver word defaults to "serial"). Malformed entries are skipped.
std::vector<platform::ComPortInfo> ParseDeclaredPorts(const std::string& text);

// Every COM port, in ascending COM number. A declared port wins over a system
// port with the same number; the environment wins over the settings file.
std::vector<platform::ComPortInfo> ListComPorts(const ComPortSources& sources);
std::vector<platform::ComPortInfo> ListComPorts();

// Opens COM port `number` of the current list exclusively (OpenTtyPath).
// Status 2 when the number is not in the list.
std::unique_ptr<platform::PortDevice> OpenComPort(uint32_t number, uint32_t* status);

}  // namespace qv

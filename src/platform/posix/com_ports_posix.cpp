// COM ports found in sysfs on Linux: ttys that have hardware behind them. The
// driver behind each tty is turned into the device-name word a port
// classifier understands ("Serial", "USBSER", ...).
#include "platform/com_ports.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "platform/serial_port.h"

namespace qv::platform {
namespace {

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

std::string LinkBaseName(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    buf[n] = '\0';
    std::string target(buf);
    size_t slash = target.find_last_of('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Device-name word of a kernel tty driver.
std::string DriverWord(const std::string& driver) {
    if (driver == "port" || driver == "serial8250" || driver == "serial" || driver.empty() ||
        driver == "amba-pl011" || driver == "uart-pl011") {
        return "Serial";
    }
    if (driver == "cdc_acm") return "USBSER";
    if (driver == "cp210x") return "Silabser";
    std::string word;
    for (char c : driver) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') word += c;
    }
    return word.empty() ? std::string("Serial") : word;
}

// Splits "ttyUSB12" into ("ttyUSB", 12); false when there is no trailing number.
bool SplitTtyName(const std::string& name, std::string* stem, uint32_t* number) {
    size_t i = name.size();
    while (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1]))) --i;
    if (i == name.size() || i == 0 || name.size() - i > 6) return false;
    *stem = name.substr(0, i);
    *number = static_cast<uint32_t>(std::strtoul(name.c_str() + i, nullptr, 10));
    return true;
}

}  // namespace

std::vector<ComPortInfo> ListSystemPorts(const std::string& sysRoot, const std::string& devRoot) {
    const std::string ttyDir = sysRoot + "/class/tty";
    std::set<std::string> consoles;
    {
        std::ifstream active(ttyDir + "/console/active");
        std::string name;
        while (active >> name) consoles.insert(name);
    }
    std::vector<std::string> names;
    if (DIR* d = opendir(ttyDir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());

    static const std::map<std::string, uint32_t> kBase = {
        {"ttyS", 1}, {"ttyUSB", 101}, {"ttyACM", 201}, {"ttyAMA", 301}};
    std::vector<ComPortInfo> out;
    uint32_t nextOther = 401;
    for (const std::string& name : names) {
        if (consoles.count(name) != 0) continue;
        const std::string base = ttyDir + "/" + name;
        // Virtual terminals, ptys and the like have no device behind them.
        if (!Exists(base + "/device")) continue;
        std::string stem;
        uint32_t n = 0;
        if (!SplitTtyName(name, &stem, &n)) continue;
        // /sys lists every possible 8250 port; ports of unknown type have no UART.
        if (stem == "ttyS" && ReadFirstLine(base + "/type") == "0") continue;
        ComPortInfo info;
        auto it = kBase.find(stem);
        info.number = it != kBase.end() ? it->second + n : nextOther++;
        if (info.number == 0 || info.number > 65535) continue;
        info.path = devRoot + "/" + name;
        if (TtyIsProtected(info.path)) continue;
        info.deviceName = "\\Device\\" + DriverWord(LinkBaseName(base + "/device/driver")) + std::to_string(n);
        out.push_back(info);
    }
    return out;
}

}  // namespace qv::platform

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

#include "core/log.h"
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

// The families with a range of COM numbers of their own: tty <stem><n> is COM
// firstCom + n for n below kFamilySize. Every other tty, and a family tty
// beyond its range, is numbered from kOtherFirstCom on in name order, so no
// two ttys ever share a number.
struct TtyFamily {
    const char* stem;
    uint32_t firstCom;
};
constexpr TtyFamily kFamilies[] = {{"ttyS", 1}, {"ttyUSB", 1001}, {"ttyACM", 2001}, {"ttyAMA", 3001}};
constexpr uint32_t kFamilySize = 1000;
constexpr uint32_t kOtherFirstCom = 4001;
constexpr uint32_t kLastCom = 65535;

// True for a number written the kernel's way ("0", "12"; not "012").
bool IsPlainNumber(const std::string& digits) {
    return !digits.empty() && (digits == "0" || digits[0] != '0');
}

}  // namespace

std::vector<uint32_t> ComNumbersForTtys(const std::vector<std::string>& names) {
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::map<std::string, uint32_t> byName;
    std::vector<const std::string*> others;  // in name order
    for (const std::string& name : sorted) {
        std::string stem;
        uint32_t n = 0;
        if (!SplitTtyName(name, &stem, &n)) continue;  // no number: nothing to tell it by
        uint32_t number = 0;
        for (const TtyFamily& family : kFamilies) {
            if (stem == family.stem && n < kFamilySize && IsPlainNumber(name.substr(stem.size()))) {
                number = family.firstCom + n;
            }
        }
        if (number != 0) {
            byName[name] = number;
        } else {
            others.push_back(&name);
        }
    }
    uint32_t next = kOtherFirstCom;
    for (const std::string* name : others) {
        if (next > kLastCom) {
            QV_LOG("%s %d no COM number left for %s: not listed\n", "ListSystemPorts", __LINE__, name->c_str());
            continue;
        }
        byName[*name] = next++;
    }
    std::vector<uint32_t> out;
    out.reserve(names.size());
    for (const std::string& name : names) {
        auto it = byName.find(name);
        out.push_back(it == byName.end() ? 0 : it->second);
    }
    return out;
}

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

    // The ttys with hardware behind them that may be listed, in name order.
    std::vector<std::string> ports;
    std::vector<std::string> driverNames;
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
        if (TtyIsProtected(devRoot + "/" + name, sysRoot)) continue;
        ports.push_back(name);
        driverNames.push_back("\\Device\\" + DriverWord(LinkBaseName(base + "/device/driver")) +
                              name.substr(stem.size()));
    }
    const std::vector<uint32_t> numbers = ComNumbersForTtys(ports);
    std::vector<ComPortInfo> out;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (numbers[i] == 0) continue;
        ComPortInfo info;
        info.number = numbers[i];
        info.path = devRoot + "/" + ports[i];
        info.deviceName = driverNames[i];
        out.push_back(info);
    }
    return out;
}

}  // namespace qv::platform

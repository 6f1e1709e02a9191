// The COM-port list on Linux: declared ports first, then the ttys of sysfs that
// have hardware behind them. The driver behind each tty is turned into the
// device-name word a port classifier understands ("serial", "usbser", ...).
#include "platform/com_ports.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <strings.h>

#include "api/log.h"
#include "portstream/settings_file.h"

namespace qv::platform {
namespace {

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// "COM<n>" (any letter case) with 1 <= n <= 65535; 0 otherwise.
uint32_t ParseComName(const std::string& key) {
    if (key.size() < 4 || strncasecmp(key.c_str(), "COM", 3) != 0) return 0;
    uint32_t n = 0;
    for (size_t i = 3; i < key.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(key[i]))) return 0;
        n = n * 10 + static_cast<uint32_t>(key[i] - '0');
        if (n > 65535) return 0;
    }
    return n;
}

bool IsWord(const std::string& s) {
    if (s.empty()) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

bool DeclaredEntry(const std::string& key, const std::string& value, ComPortInfo* out) {
    uint32_t number = ParseComName(Trim(key));
    std::string v = Trim(value);
    if (number == 0 || v.empty()) return false;
    std::string word = "serial";
    size_t colon = v.find_last_of(':');
    if (colon != std::string::npos && colon > 0 && IsWord(Trim(v.substr(colon + 1)))) {
        word = Trim(v.substr(colon + 1));
        v = Trim(v.substr(0, colon));
    }
    if (v.empty()) return false;
    out->number = number;
    out->path = v;
    out->deviceName = "\\Device\\" + word + std::to_string(number);
    return true;
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return Trim(line);
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

std::vector<ComPortInfo> ParseDeclaredPorts(const std::string& text) {
    std::vector<ComPortInfo> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        std::string entry = Trim(text.substr(start, end - start));
        if (!entry.empty()) {
            size_t eq = entry.find('=');
            ComPortInfo info;
            if (eq != std::string::npos && DeclaredEntry(entry.substr(0, eq), entry.substr(eq + 1), &info)) {
                out.push_back(info);
            } else {
                QV_LOG("%s %d ignored port declaration [%s]\n", "ParseDeclaredPorts", __LINE__, entry.c_str());
            }
        }
        start = end + 1;
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

ComPortSources CurrentComPortSources() {
    ComPortSources src;
    const char* env = std::getenv("QUORVIA_COM_PORTS");
    if (env != nullptr) src.declaredEnv = env;
    src.declaredSettings = ReadSettingSection("ports");
    const char* sys = std::getenv("QUORVIA_SYSTEM_PORTS");
    if (sys != nullptr && sys[0] != '\0') {
        src.systemPorts = std::atoi(sys) != 0;
    } else {
        src.systemPorts = ReadSettingInt("main", "SystemPorts", 1) != 0;
    }
    return src;
}

std::vector<ComPortInfo> ListComPorts(const ComPortSources& sources) {
    std::map<uint32_t, ComPortInfo> byNumber;
    auto add = [&byNumber](const ComPortInfo& info) {
        if (info.number == 0 || info.number > 65535) return;
        if (TtyIsProtected(info.path)) {
            QV_LOG("%s %d protected tty not listed [%s]\n", "ListComPorts", __LINE__, info.path.c_str());
            return;
        }
        byNumber.emplace(info.number, info);  // the first source to name a number keeps it
    };
    for (const ComPortInfo& info : ParseDeclaredPorts(sources.declaredEnv)) add(info);
    for (const auto& kv : sources.declaredSettings) {
        ComPortInfo info;
        if (DeclaredEntry(kv.first, kv.second, &info)) add(info);
    }
    if (sources.systemPorts) {
        for (const ComPortInfo& info : ListSystemPorts(sources.sysRoot, sources.devRoot)) add(info);
    }
    std::vector<ComPortInfo> out;
    out.reserve(byNumber.size());
    for (auto& kv : byNumber) out.push_back(kv.second);
    return out;
}

std::vector<ComPortInfo> ListComPorts() { return ListComPorts(CurrentComPortSources()); }

std::unique_ptr<PortDevice> OpenComPort(uint32_t number, uint32_t* status) {
    for (const ComPortInfo& info : ListComPorts()) {
        if (info.number == number) return OpenTtyPath(info.path, status);
    }
    if (status != nullptr) *status = kOpenNotFound;
    return nullptr;
}

}  // namespace qv::platform

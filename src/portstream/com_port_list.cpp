// The COM-port list: declared ports (environment and settings file) first,
// then the system's own ports; and opening a COM port by number.
#include "portstream/com_port_list.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>

#include "core/log.h"
#include "portstream/settings_file.h"

namespace qv {

using platform::ComPortInfo;

namespace {

// "COM<n>" (any letter case) with 1 <= n <= 65535; 0 otherwise.
uint32_t ParseComName(const std::string& key) {
    if (key.size() < 4) return 0;
    for (size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(key[i])) != "COM"[i]) return 0;
    }
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
    uint32_t number = ParseComName(TrimSpace(key));
    std::string v = TrimSpace(value);
    if (number == 0 || v.empty()) return false;
    std::string word = "serial";
    size_t colon = v.find_last_of(':');
    if (colon != std::string::npos && colon > 0 && IsWord(TrimSpace(v.substr(colon + 1)))) {
        word = TrimSpace(v.substr(colon + 1));
        v = TrimSpace(v.substr(0, colon));
    }
    if (v.empty()) return false;
    out->number = number;
    out->path = v;
    out->deviceName = "\\Device\\" + word + std::to_string(number);
    return true;
}

// True when both paths name the same file (symlinks followed); only the
// directory entries are looked at, the devices are never opened.
bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

std::vector<ComPortInfo> ParseDeclaredPorts(const std::string& text) {
    std::vector<ComPortInfo> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        std::string entry = TrimSpace(text.substr(start, end - start));
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
    auto add = [&byNumber, &sources](const ComPortInfo& info) {
        if (info.number == 0 || info.number > 65535) return;
        if (platform::TtyIsProtected(info.path, sources.sysRoot)) {
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
        // A system tty already declared (under any number, by any path to it)
        // is listed once, as declared.
        std::vector<std::string> declaredPaths;
        for (const auto& kv : byNumber) declaredPaths.push_back(kv.second.path);
        for (const ComPortInfo& info : platform::ListSystemPorts(sources.sysRoot, sources.devRoot)) {
            const bool declared = std::any_of(declaredPaths.begin(), declaredPaths.end(),
                                              [&info](const std::string& p) { return SameFile(p, info.path); });
            if (declared) {
                QV_LOG("%s %d %s already declared, not listed again\n", "ListComPorts", __LINE__, info.path.c_str());
                continue;
            }
            add(info);
        }
    }
    std::vector<ComPortInfo> out;
    out.reserve(byNumber.size());
    for (auto& kv : byNumber) out.push_back(kv.second);
    return out;
}

std::vector<ComPortInfo> ListComPorts() { return ListComPorts(CurrentComPortSources()); }

std::unique_ptr<platform::PortDevice> OpenComPort(uint32_t number, uint32_t* status) {
    for (const ComPortInfo& info : ListComPorts()) {
        if (info.number == number) return platform::OpenTtyPath(info.path, status);
    }
    if (status != nullptr) *status = platform::kOpenNotFound;
    return nullptr;
}

}  // namespace qv

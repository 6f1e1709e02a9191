#include "portstream/settings_file.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "platform/library_path.h"

namespace qv {
namespace {

bool SameName(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

std::optional<std::string> FindValue(const std::string& file, const char* section, const char* key) {
    for (auto& kv : ReadSettingSectionFrom(file, section)) {
        if (SameName(kv.first, key)) return kv.second;
    }
    return std::nullopt;
}

}  // namespace

std::string TrimSpace(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string SettingsPathForLibrary(const std::string& libraryPath) {
    if (libraryPath.empty()) return std::string();
    size_t slash = libraryPath.find_last_of('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    // The version numbers of a shared object belong to its extension, so
    // libQuorvia.so.1 (the name the loader finds through the soname) gives
    // libQuorvia.ini, as libQuorvia.so does.
    const size_t so = libraryPath.rfind(".so.");
    if (so != std::string::npos && so > nameStart) {
        const std::string version = libraryPath.substr(so + 4);
        if (!version.empty() && version.find_first_not_of("0123456789.") == std::string::npos) {
            return libraryPath.substr(0, so) + ".ini";
        }
    }
    size_t dot = libraryPath.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) return libraryPath + ".ini";
    return libraryPath.substr(0, dot) + ".ini";
}

std::string SettingsFilePath() {
    const char* env = std::getenv("QUORVIA_SETTINGS");
    if (env != nullptr && env[0] != '\0') return std::string(env);
    // The library path does not change while the process runs.
    static const std::string fromLibrary = SettingsPathForLibrary(platform::LibraryPath());
    return fromLibrary;
}

std::vector<std::pair<std::string, std::string>> ReadSettingSectionFrom(const std::string& file,
                                                                        const char* section) {
    std::vector<std::pair<std::string, std::string>> out;
    if (file.empty() || section == nullptr) return out;
    std::ifstream in(file);
    if (!in) return out;
    std::string line;
    bool inSection = false;
    while (std::getline(in, line)) {
        std::string t = TrimSpace(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t.front() == '[') {
            size_t close = t.find(']');
            inSection = close != std::string::npos && SameName(TrimSpace(t.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        out.emplace_back(TrimSpace(t.substr(0, eq)), TrimSpace(t.substr(eq + 1)));
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> ReadSettingSection(const char* section) {
    return ReadSettingSectionFrom(SettingsFilePath(), section);
}

int ReadSettingIntFrom(const std::string& file, const char* section, const char* key,
                       int defaultValue) {
    if (key == nullptr) return defaultValue;
    std::optional<std::string> v = FindValue(file, section, key);
    if (!v) return defaultValue;
    const char* p = v->c_str();
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        value = value * 10 + (*p - '0');
        if (value > 0x7fffffffLL) value = 0x7fffffffLL;
        ++p;
    }
    return static_cast<int>(negative ? -value : value);
}

int ReadSettingInt(const char* section, const char* key, int defaultValue) {
    return ReadSettingIntFrom(SettingsFilePath(), section, key, defaultValue);
}

}  // namespace qv

// The settings file reader on arbitrary file contents. The input is written to
// a file (an in-memory one, so no disk is involved); every section the file
// names, plus "main" and "ports", is read back and compared with a plain
// reference reading of the same bytes; integer keys must give the leading
// decimal integer of their first value, saturated to the int range; section
// and key names ignore letter case. The input's first line also serves as a
// library path for the settings file name.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "portstream/settings_file.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

int g_fd = -1;
std::string g_file;  // the path the reader opens: /proc/self/fd/<g_fd>

const char kSpace[] = " \t\n\v\f\r";

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(kSpace);
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(kSpace) - b + 1);
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A section header's name: what lies between '[' and the first ']', trimmed;
// false when the line is no header.
bool HeaderName(const std::string& trimmed, std::string* name) {
    if (trimmed.empty() || trimmed[0] != '[') return false;
    const size_t close = trimmed.find(']');
    *name = close == std::string::npos ? std::string() : Trim(trimmed.substr(1, close - 1));
    return close != std::string::npos;
}

Pairs ReferenceSection(const std::string& text, const std::string& section) {
    Pairs out;
    bool in = false;
    for (const std::string& line : Lines(text)) {
        const std::string t = Trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            std::string name;
            in = HeaderName(t, &name) && Lower(name) == Lower(section);
            continue;
        }
        if (!in) continue;
        const size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        out.emplace_back(Trim(t.substr(0, eq)), Trim(t.substr(eq + 1)));
    }
    return out;
}

// The key as a C string sees it (up to a zero byte) looked up without regard to case.
int ReferenceInt(const Pairs& pairs, const std::string& key, int defaultValue) {
    const std::string k = Lower(key.substr(0, key.find('\0')));
    for (const auto& kv : pairs) {
        if (Lower(kv.first) != k) continue;
        const long long v = std::strtoll(kv.second.c_str(), nullptr, 10);
        return static_cast<int>(std::clamp<long long>(v, -INT_MAX, INT_MAX));
    }
    return defaultValue;
}

void CheckLibraryPath(const std::string& path) {
    const std::string ini = qv::SettingsPathForLibrary(path);
    if (path.empty()) {
        QV_FUZZ_CHECK(ini.empty(), "empty library path gives [%s]", ini.c_str());
        return;
    }
    // The library path cut somewhere inside its file name, with ".ini" appended.
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    QV_FUZZ_CHECK(ini.size() >= 4 && ini.compare(ini.size() - 4, 4, ".ini") == 0, "[%s] -> [%s]", path.c_str(),
                  ini.c_str());
    const size_t kept = ini.size() - 4;
    QV_FUZZ_CHECK(kept >= nameStart && kept <= path.size() && path.compare(0, kept, ini, 0, kept) == 0,
                  "[%s] -> [%s]", path.c_str(), ini.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_fd = memfd_create("qv_fuzz_settings", MFD_CLOEXEC);
    if (g_fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    g_file = "/proc/self/fd/" + std::to_string(g_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    QV_FUZZ_CHECK(ftruncate(g_fd, 0) == 0, "ftruncate");
    QV_FUZZ_CHECK(pwrite(g_fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()), "short write");

    std::vector<std::string> sections = {"main", "ports"};
    for (const std::string& line : Lines(text)) {
        std::string name;
        if (sections.size() >= 4) break;
        if (!HeaderName(Trim(line), &name)) continue;
        name = name.substr(0, name.find('\0'));  // what a C string can name
        if (std::find(sections.begin(), sections.end(), name) == sections.end()) sections.push_back(name);
    }

    for (const std::string& section : sections) {
        const Pairs got = qv::ReadSettingSectionFrom(g_file, section.c_str());
        const Pairs want = ReferenceSection(text, section);
        QV_FUZZ_CHECK(got == want, "section [%s]: %zu pairs, expected %zu", section.c_str(), got.size(), want.size());
        QV_FUZZ_CHECK(qv::ReadSettingSectionFrom(g_file, Upper(section).c_str()) == got,
                      "section [%s] read differently in upper case", section.c_str());

        // Integer keys; every other one asked in lower case, which must not matter.
        std::vector<std::string> keys = {"SystemPorts", "DetectOld"};
        for (size_t i = 0; i < got.size() && keys.size() < 6; ++i) keys.push_back(got[i].first);
        for (size_t i = 0; i < keys.size(); ++i) {
            const std::string asked = i % 2 == 0 ? keys[i] : Lower(keys[i]);
            const int value = qv::ReadSettingIntFrom(g_file, section.c_str(), asked.c_str(), -12345);
            const int expected = ReferenceInt(got, keys[i], -12345);
            QV_FUZZ_CHECK(value == expected, "[%s] %s = %d, expected %d", section.c_str(), asked.c_str(), value,
                          expected);
        }
    }

    CheckLibraryPath(text.substr(0, text.find('\n')));
    return 0;
}

// Declared COM ports: the QUORVIA_COM_PORTS text ("COM<n>=<path>[:<driver word>]"
// separated by ';') and the key/value pairs of the settings file's [ports]
// section.
//
// Input: [environment text] 00 [settings lines...]
//   The text before the first zero byte is the environment variable; each line
//   after it is one "key=value" line of [ports] (split at the first '=', both
//   sides trimmed, as the settings reader hands them over).
//
// Checked: the parsed list equals a plain reference parse; every accepted port
// has a COM number in 1..65535, a trimmed path without ';' and a device name
// "\Device\<word><n>" with a word of letters, digits and '_'; writing the list
// back as declarations parses to the same list; the merged port list (system
// ports off) is in ascending COM number, one port per number, the environment
// before the settings file, the first declaration of a number winning, and
// protected ttys left out.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "platform/serial_port.h"
#include "portstream/com_port_list.h"

namespace {

using qv::platform::ComPortInfo;

const char kSpace[] = " \t\n\v\f\r";

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(kSpace);
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(kSpace) - b + 1);
}

bool IsDriverWord(const std::string& w) {
    if (w.empty()) return false;
    for (char c : w) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

// "COM<digits>" in any letter case with a value of 1..65535; 0 otherwise.
uint32_t ComNumber(const std::string& key) {
    if (key.size() < 4) return 0;
    std::string head = key.substr(0, 3);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (head != "com") return 0;
    const std::string digits = key.substr(3);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    const size_t firstNonZero = digits.find_first_not_of('0');
    if (firstNonZero == std::string::npos) return 0;  // all zeros
    const std::string significant = digits.substr(firstNonZero);
    if (significant.size() > 5) return 0;
    const unsigned long n = std::stoul(significant);
    return n <= 65535 ? static_cast<uint32_t>(n) : 0;
}

bool ReferenceEntry(const std::string& key, const std::string& value, ComPortInfo* out) {
    const uint32_t number = ComNumber(Trim(key));
    std::string path = Trim(value);
    if (number == 0 || path.empty()) return false;
    std::string word = "serial";
    const size_t colon = path.rfind(':');
    if (colon != std::string::npos && colon > 0) {
        const std::string w = Trim(path.substr(colon + 1));
        if (IsDriverWord(w)) {
            word = w;
            path = Trim(path.substr(0, colon));
        }
    }
    if (path.empty()) return false;
    out->number = number;
    out->path = path;
    out->deviceName = "\\Device\\" + word + std::to_string(number);
    return true;
}

std::vector<ComPortInfo> ReferenceParse(const std::string& text) {
    std::vector<ComPortInfo> out;
    std::string piece;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != ';') {
            piece.push_back(text[i]);
            continue;
        }
        const std::string entry = Trim(piece);
        piece.clear();
        const size_t eq = entry.find('=');
        ComPortInfo info;
        if (eq != std::string::npos && ReferenceEntry(entry.substr(0, eq), entry.substr(eq + 1), &info)) {
            out.push_back(info);
        }
    }
    return out;
}

bool Same(const ComPortInfo& a, const ComPortInfo& b) {
    return a.number == b.number && a.path == b.path && a.deviceName == b.deviceName;
}

bool SameList(const std::vector<ComPortInfo>& a, const std::vector<ComPortInfo>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), Same);
}

// The driver word of a parsed port: its device name without "\Device\" and the number.
std::string WordOf(const ComPortInfo& p) {
    const std::string prefix = "\\Device\\";
    const std::string number = std::to_string(p.number);
    QV_FUZZ_CHECK(p.deviceName.size() > prefix.size() + number.size() &&
                      p.deviceName.compare(0, prefix.size(), prefix) == 0 &&
                      p.deviceName.compare(p.deviceName.size() - number.size(), number.size(), number) == 0,
                  "device name [%s] of COM%u", p.deviceName.c_str(), p.number);
    return p.deviceName.substr(prefix.size(), p.deviceName.size() - prefix.size() - number.size());
}

void CheckPort(const ComPortInfo& p, bool fromEnvironment) {
    QV_FUZZ_CHECK(p.number >= 1 && p.number <= 65535, "COM number %u accepted", p.number);
    QV_FUZZ_CHECK(!p.path.empty() && p.path == Trim(p.path), "path [%s]", p.path.c_str());
    if (fromEnvironment) QV_FUZZ_CHECK(p.path.find(';') == std::string::npos, "path [%s] holds ';'", p.path.c_str());
    QV_FUZZ_CHECK(IsDriverWord(WordOf(p)), "driver word of [%s]", p.deviceName.c_str());
}

std::string Declare(const std::vector<ComPortInfo>& ports) {
    std::string text;
    for (const ComPortInfo& p : ports) text += "COM" + std::to_string(p.number) + "=" + p.path + ":" + WordOf(p) + ";";
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t zero = input.find('\0');
    const std::string env = input.substr(0, zero);
    std::vector<std::pair<std::string, std::string>> settings;
    if (zero != std::string::npos) {
        size_t start = zero + 1;
        while (start <= input.size()) {
            size_t end = input.find('\n', start);
            if (end == std::string::npos) end = input.size();
            const std::string line = input.substr(start, end - start);
            const size_t eq = line.find('=');
            if (eq != std::string::npos) settings.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
            start = end + 1;
        }
    }

    // The environment text.
    const std::vector<ComPortInfo> parsed = qv::ParseDeclaredPorts(env);
    QV_FUZZ_CHECK(SameList(parsed, ReferenceParse(env)), "parsed %zu ports, reference %zu", parsed.size(),
                  ReferenceParse(env).size());
    for (const ComPortInfo& p : parsed) CheckPort(p, true);
    QV_FUZZ_CHECK(SameList(qv::ParseDeclaredPorts(Declare(parsed)), parsed), "written back, the list changes");

    // The merged list: environment first, then the settings file.
    qv::ComPortSources sources;
    sources.declaredEnv = env;
    sources.declaredSettings = settings;
    sources.systemPorts = false;
    sources.sysRoot = "/nonexistent";  // never read with system ports off
    const std::vector<ComPortInfo> merged = qv::ListComPorts(sources);

    std::map<uint32_t, ComPortInfo> expected;
    auto add = [&expected](const ComPortInfo& p) {
        if (!qv::platform::TtyIsProtected(p.path)) expected.emplace(p.number, p);
    };
    for (const ComPortInfo& p : parsed) add(p);
    for (const auto& kv : settings) {
        ComPortInfo p;
        if (ReferenceEntry(kv.first, kv.second, &p)) add(p);
    }
    QV_FUZZ_CHECK(merged.size() == expected.size(), "merged list has %zu ports, expected %zu", merged.size(),
                  expected.size());
    size_t i = 0;
    for (const auto& kv : expected) {
        QV_FUZZ_CHECK(Same(merged[i], kv.second), "merged entry %zu: COM%u [%s], expected COM%u [%s]", i,
                      merged[i].number, merged[i].path.c_str(), kv.first, kv.second.path.c_str());
        CheckPort(merged[i], false);
        ++i;
    }
    return 0;
}

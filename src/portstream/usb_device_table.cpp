#include "portstream/usb_device_table.h"

#include <cctype>
#include <initializer_list>
#include <iterator>
#include <string>

namespace qv {
namespace {

constexpr uint32_t Kinds(std::initializer_list<int> kinds) {
    uint32_t mask = 0;
    for (int k : kinds) mask |= 1u << k;
    return mask;
}

// Rows: VID, PID mask, PID low, kind, spare, PID high, interface number, has interface.
constexpr DeviceIdEntry R(uint16_t vid, uint16_t mask, uint16_t pid, uint8_t kind) {
    return {vid, mask, pid, kind, 0, 0, 0, 0};
}
constexpr DeviceIdEntry Mi1(uint16_t vid, uint16_t mask, uint16_t pid, uint8_t kind) {
    return {vid, mask, pid, kind, 0, 0, 1, 1};
}

constexpr DeviceIdEntry kGroup1[] = {
    R(0x5EC7, 0x00FF, 0x0001, 1), R(0x5EC7, 0x00FF, 0x0002, 6), R(0x5EC7, 0x00FF, 0x0003, 5),
    R(0x5EC7, 0x00FF, 0x0006, 7), R(0x5EC7, 0x00FF, 0x0010, 2), Mi1(0x5EC7, 0x00FF, 0x0022, 3),
};

constexpr DeviceIdEntry kGroup2[] = {
    R(0x03F0, 0xFFFF, 0x2A39, 5),   R(0x03F0, 0xFFFF, 0x2B39, 1),   R(0x03F0, 0xFFFF, 0x2C39, 6),
    R(0x03F0, 0xFFFF, 0x5539, 2),   Mi1(0x03F0, 0xFFFF, 0x5739, 3), R(0x03F0, 0xFFFF, 0x0B69, 7),
    R(0x03F0, 0xFFFF, 0x0C69, 2),   Mi1(0x03F0, 0xFFFF, 0x0A69, 3), R(0x03F0, 0xFFFF, 0x0B71, 7),
    R(0x03F0, 0xFFFF, 0x0A71, 2),   Mi1(0x03F0, 0xFFFF, 0x0971, 3), Mi1(0x03F0, 0xFFFF, 0x0483, 3),
    R(0x03F0, 0xFFFF, 0x0583, 2),   R(0x03F0, 0xFFFF, 0x0683, 7),
};

constexpr DeviceIdEntry kGroup3[] = {
    R(0x324F, 0xFFFF, 0x0112, 7),   R(0x324F, 0xFFFF, 0x0113, 2),   R(0x324F, 0xFFFF, 0x0122, 7),
    R(0x324F, 0xFFFF, 0x0123, 2),   R(0x324F, 0xFFFF, 0x0132, 7),   R(0x324F, 0xFFFF, 0x0133, 2),
    R(0x324F, 0xFFFF, 0x0142, 7),   R(0x324F, 0xFFFF, 0x0143, 2),   R(0x324F, 0xFFFF, 0x0152, 7),
    R(0x324F, 0xFFFF, 0x0153, 2),   R(0x324F, 0xFFFF, 0x0042, 7),   R(0x324F, 0xFFFF, 0x0043, 2),
    R(0x324F, 0xFFFF, 0x0102, 7),   R(0x324F, 0xFFFF, 0x0103, 2),   R(0x324F, 0xFFFF, 0x00F2, 7),
    R(0x324F, 0xFFFF, 0x00F3, 2),   R(0x324F, 0xFFFF, 0x00C2, 7),   R(0x324F, 0xFFFF, 0x00C3, 2),
    Mi1(0x324F, 0xFFFF, 0x0101, 3), Mi1(0x324F, 0xFFFF, 0x0111, 3), Mi1(0x324F, 0xFFFF, 0x0121, 3),
    Mi1(0x324F, 0xFFFF, 0x0131, 3), Mi1(0x324F, 0xFFFF, 0x0141, 3), Mi1(0x324F, 0xFFFF, 0x0151, 3),
    Mi1(0x324F, 0xFFFF, 0x0041, 3), Mi1(0x324F, 0xFFFF, 0x00C1, 3), Mi1(0x324F, 0xFFFF, 0x0022, 3),
    Mi1(0x324F, 0xFFFF, 0x00F1, 3),
};

constexpr DeviceIdEntry kGroup4[] = {
    Mi1(0x2DD6, 0xFFFF, 0x25A1, 3),
};

constexpr DeviceIdEntry kGroup5[] = {
    R(0x6666, 0xFFFF, 0x0006, 1), R(0x6666, 0xFFFF, 0x0007, 6), R(0x6666, 0xFFFF, 0x0009, 1),
    R(0x6666, 0xFFFF, 0x0010, 1),
};

template <size_t N>
constexpr DeviceIdGroup Group(uint32_t kinds, const DeviceIdEntry (&rows)[N]) {
    return {kinds, rows, N};
}

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != Lower(prefix[i])) return false;
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Exactly `digits` hex digits at the front of `text`; advances past them.
bool TakeHex(std::string_view& text, size_t digits, uint32_t* value) {
    if (text.size() < digits) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int d = HexValue(text[i]);
        if (d < 0) return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    *value = v;
    text.remove_prefix(digits);
    return true;
}

bool TakeWord(std::string_view& text, std::string_view word) {
    if (!StartsWithNoCase(text, word)) return false;
    text.remove_prefix(word.size());
    return true;
}

bool RowMatches(const DeviceIdEntry& row, const UsbPathIds& ids) {
    if (row.vid != ids.vid) return false;
    if ((row.hasInterface != 0) != ids.hasInterface) return false;
    if (ids.hasInterface && row.interfaceNumber != ids.interfaceNumber) return false;
    const uint16_t masked = static_cast<uint16_t>(ids.pid & row.pidMask);
    if (row.pidHigh > row.pidLow) return row.pidLow <= masked && masked <= row.pidHigh;
    return masked == row.pidLow;
}

}  // namespace

const DeviceIdGroup kDeviceIdGroups[5] = {
    Group(Kinds({1, 2, 3}), kGroup1), Group(Kinds({1, 2, 3}), kGroup2), Group(Kinds({1, 2, 3}), kGroup3),
    Group(Kinds({1, 2, 3}), kGroup4), Group(Kinds({1}), kGroup5),
};

uint32_t UsbClassKindMask(UsbInterfaceClass cls) {
    return cls == kUsbClassVendor ? Kinds({1, 6}) : Kinds({2, 3, 4, 5});
}

std::string_view UsbClassPathPrefix(UsbInterfaceClass cls) { return cls == kUsbClassVendor ? "usb#" : "hid#"; }

std::optional<UsbPathIds> ParseUsbPath(std::string_view path, UsbInterfaceClass cls) {
    if (!TakeWord(path, UsbClassPathPrefix(cls))) return std::nullopt;
    UsbPathIds ids;
    uint32_t v = 0;
    if (!TakeWord(path, "vid_") || !TakeHex(path, 4, &v)) return std::nullopt;
    ids.vid = static_cast<uint16_t>(v);
    if (!TakeWord(path, "&pid_") || !TakeHex(path, 4, &v)) return std::nullopt;
    ids.pid = static_cast<uint16_t>(v);
    if (TakeWord(path, "&mi_")) {
        if (!TakeHex(path, 2, &v)) return std::nullopt;
        ids.hasInterface = true;
        ids.interfaceNumber = static_cast<uint8_t>(v);
    }
    if (path.empty() || (path[0] != '#' && path[0] != '&')) return std::nullopt;
    return ids;
}

uint8_t MatchDeviceKind(const UsbPathIds& ids, UsbInterfaceClass cls) {
    return MatchDeviceKindIn(kDeviceIdGroups, std::size(kDeviceIdGroups), ids, cls);
}

uint8_t MatchDeviceKindIn(const DeviceIdGroup* groups, size_t groupCount, const UsbPathIds& ids,
                          UsbInterfaceClass cls) {
    const uint32_t classKinds = UsbClassKindMask(cls);
    for (size_t g = 0; g < groupCount; ++g) {
        const DeviceIdGroup& group = groups[g];
        for (size_t i = 0; i < group.count; ++i) {
            const DeviceIdEntry& row = group.rows[i];
            const uint32_t bit = 1u << row.kind;
            if ((classKinds & bit) == 0 || (group.kindMask & bit) == 0) continue;
            if (RowMatches(row, ids)) return row.kind;
        }
    }
    return 0;
}

bool UsbPathMatchesWithToggle(std::string_view reference, std::string_view candidate) {
    if (StartsWithNoCase(candidate, reference)) return true;
    if (reference.size() > 255 || reference.size() < 8) return false;
    const size_t tail = reference.size() - 8;
    if (!StartsWithNoCase(reference.substr(tail), "PID_1")) return false;
    std::string toggled(reference);
    char& digit = toggled[tail + 5];
    if (digit == '3') {
        digit = 'A';
    } else if (digit == 'A' || digit == 'a') {
        digit = '3';
    } else {
        return false;
    }
    return StartsWithNoCase(candidate, toggled);
}

}  // namespace qv

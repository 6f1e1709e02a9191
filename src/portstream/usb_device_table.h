// Which USB interfaces are scanners: the device-ID table, the kinds each
// interface class admits, the identity part of a device path, and the path
// comparison that recognises a device whose product ID changed between its
// normal and its update mode.
//
// Pure logic, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qv {

// Device kinds of a UsbDeviceDescriptor.
enum UsbDeviceKind : uint8_t {
    kUsbKindVendor = 1,    // vendor USB driver device: raw I/O
    kUsbKindHid = 2,       // HID device: 64-byte reports
    kUsbKindHidIf1 = 3,    // HID device on interface 1: also the FE 01 feature report
    kUsbKindVirtualCom = 7,  // the scanner's USB virtual COM mode (serial transport only)
    kUsbKindCom = 10,      // COM descriptor built by the update path functions
};

// The two interface classes, in search order.
enum UsbInterfaceClass : int {
    kUsbClassVendor = 0,  // vendor USB driver: admits kinds 1 and 6
    kUsbClassHid = 1,     // HID: admits kinds 2, 3, 4 and 5
};
constexpr int kUsbClassCount = 2;

// One row of the device-ID table.
struct DeviceIdEntry {
    uint16_t vid;
    uint16_t pidMask;
    uint16_t pidLow;
    uint8_t kind;
    uint8_t spare;
    uint16_t pidHigh;
    uint8_t interfaceNumber;
    uint8_t hasInterface;
};

// A group of rows and the kinds the group admits (bit k = kind k).
struct DeviceIdGroup {
    uint32_t kindMask;
    const DeviceIdEntry* rows;
    size_t count;
};

// The table: five groups, searched in order; the first matching row wins.
extern const DeviceIdGroup kDeviceIdGroups[5];

// Kinds admitted by an interface class (bit k = kind k).
uint32_t UsbClassKindMask(UsbInterfaceClass cls);

// VID, PID and interface number as a device path carries them.
struct UsbPathIds {
    uint16_t vid = 0;
    uint16_t pid = 0;
    bool hasInterface = false;
    uint8_t interfaceNumber = 0;
};

// The class prefix of device paths (lower case): "usb#" for the vendor class,
// "hid#" for HID.
std::string_view UsbClassPathPrefix(UsbInterfaceClass cls);

// Parses the identity part of a path, after its class prefix, compared
// without regard to letter case: "vid_" + 4 hex digits + "&pid_" + 4 hex
// digits, optionally "&mi_" + 2 hex digits, then '#' or '&'. Empty when the
// path lacks the prefix or does not have this form.
std::optional<UsbPathIds> ParseUsbPath(std::string_view path, UsbInterfaceClass cls);

// The device kind of an interface of class `cls`, or 0 when no row admitted by
// the class and its group matches.
uint8_t MatchDeviceKind(const UsbPathIds& ids, UsbInterfaceClass cls);
// The same against another table (for tests).
uint8_t MatchDeviceKindIn(const DeviceIdGroup* groups, size_t groupCount, const UsbPathIds& ids,
                          UsbInterfaceClass cls);

// Path comparison with product-ID toggle (reference r, candidate c): true when
// c begins with r, compared without regard to letter case. Otherwise, when r
// has at most 255 characters and its last 8 characters begin with "PID_1"
// (any case), the next character of that tail is toggled between '3' and 'A'
// ('a' too) and c is compared with the result the same way; any other
// character there gives false.
bool UsbPathMatchesWithToggle(std::string_view reference, std::string_view candidate);

}  // namespace qv

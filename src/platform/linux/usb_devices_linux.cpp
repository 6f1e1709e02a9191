// USB interfaces on Linux, listed and described with libudev:
//   - HID: every hidraw node whose hid parent sits on USB (HID_ID bus 0003);
//     VID and PID from HID_ID, the serial number from HID_UNIQ, the interface
//     number from the usb_interface parent, whether the device is composite
//     from the usb_device's bNumInterfaces;
//   - vendor driver: every usb_interface of class ff (vendor specific), with
//     idVendor, idProduct and bNumInterfaces of its usb_device.
// Under umockdev the same calls read its fake sysfs tree.
#include <fcntl.h>
#include <libudev.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/log.h"
#include "platform/linux/usb_linux.h"
#include "platform/usb_devices.h"

namespace qv::platform {
namespace usblinux {
namespace {

constexpr size_t kMaxLocation = 64;

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using EnumPtr = std::unique_ptr<udev_enumerate, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exactly `digits` hex digits (after optional blanks), nothing else.
bool ParseHexField(const char* text, size_t digits, uint32_t* out) {
    if (text == nullptr) return false;
    while (*text == ' ') ++text;
    if (std::strlen(text) != digits) return false;
    uint32_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int d = HexDigit(text[i]);
        if (d < 0) return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

// bNumInterfaces: a decimal number 1..255, right-aligned in the kernel's "%2d".
bool ParseInterfaceCount(const char* text, uint32_t* out) {
    if (text == nullptr) return false;
    while (*text == ' ') ++text;
    if (*text == '\0' || std::strlen(text) > 3) return false;
    uint32_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<uint32_t>(*p - '0');
    }
    if (v == 0 || v > 255) return false;
    *out = v;
    return true;
}

// HID_ID "bbbb:vvvvvvvv:pppppppp" (hex).
bool ParseHidId(const char* text, uint32_t* bus, uint32_t* vid, uint32_t* pid) {
    if (text == nullptr || std::strlen(text) != 22 || text[4] != ':' || text[13] != ':') return false;
    const std::string s(text);
    uint32_t v = 0, p = 0;
    if (!ParseHexField(s.substr(0, 4).c_str(), 4, bus) || !ParseHexField(s.substr(5, 8).c_str(), 8, &v) ||
        !ParseHexField(s.substr(14, 8).c_str(), 8, &p)) {
        return false;
    }
    if (v > 0xFFFF || p > 0xFFFF) return false;
    *vid = v;
    *pid = p;
    return true;
}

// A sysfs name of a USB interface: "1-1.4:1.1" and the like.
bool PlainLocation(const char* text) {
    if (text == nullptr || *text == '\0' || std::strlen(text) > kMaxLocation) return false;
    for (const char* p = text; *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                        c == ':' || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// What a usb_interface and its usb_device say about the interface.
struct InterfaceFacts {
    std::string location;
    uint8_t interfaceNumber = 0;
    bool composite = false;
    uint32_t idVendor = 0;
    uint32_t idProduct = 0;
    std::string usbfsNode;
};

bool ReadInterfaceFacts(udev_device* intf, InterfaceFacts* out, const char* what) {
    udev_device* usbdev = udev_device_get_parent_with_subsystem_devtype(intf, "usb", "usb_device");
    const char* location = udev_device_get_sysname(intf);
    uint32_t number = 0, count = 0;
    if (usbdev == nullptr || !PlainLocation(location) ||
        !ParseHexField(udev_device_get_sysattr_value(intf, "bInterfaceNumber"), 2, &number) ||
        !ParseInterfaceCount(udev_device_get_sysattr_value(usbdev, "bNumInterfaces"), &count)) {
        QV_LOG("%s %d %s %s: USB interface attributes missing or malformed, left out\n", "ListUsbInterfaces",
               __LINE__, what, location != nullptr ? location : "?");
        return false;
    }
    out->location = location;
    out->interfaceNumber = static_cast<uint8_t>(number);
    out->composite = count > 1;
    // Only the vendor class needs these; HID takes its IDs from HID_ID.
    ParseHexField(udev_device_get_sysattr_value(usbdev, "idVendor"), 4, &out->idVendor);
    ParseHexField(udev_device_get_sysattr_value(usbdev, "idProduct"), 4, &out->idProduct);
    const char* node = udev_device_get_devnode(usbdev);
    out->usbfsNode = node != nullptr ? node : "";
    return true;
}

std::string BuildPath(UsbClass cls, const std::string& identity, const std::string& location) {
    return std::string(cls == UsbClass::kHid ? "hid#" : "usb#") + identity + "#" + location;
}

// One listed interface with everything an open needs.
struct Found {
    UsbInterface listed;
    ResolvedInterface resolved;
};

// A hidraw device as a HID interface; false when it is not a USB HID
// interface with sound attributes.
bool DescribeHidraw(udev_device* raw, Found* out) {
    const char* devnode = udev_device_get_devnode(raw);
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(raw, "hid", nullptr);
    udev_device* intf = udev_device_get_parent_with_subsystem_devtype(raw, "usb", "usb_interface");
    const char* name = udev_device_get_sysname(raw);
    if (devnode == nullptr || hid == nullptr) return false;
    uint32_t bus = 0, vid = 0, pid = 0;
    if (!ParseHidId(udev_device_get_property_value(hid, "HID_ID"), &bus, &vid, &pid)) {
        QV_LOG("%s %d %s: HID_ID missing or malformed, left out\n", "ListUsbInterfaces", __LINE__, name);
        return false;
    }
    if (bus != 0x0003 || intf == nullptr) return false;  // not on USB
    InterfaceFacts facts;
    if (!ReadInterfaceFacts(intf, &facts, name)) return false;
    const char* uniq = udev_device_get_property_value(hid, "HID_UNIQ");
    out->listed.path = BuildPath(UsbClass::kHid,
                                 IdentityText(static_cast<uint16_t>(vid), static_cast<uint16_t>(pid),
                                              facts.composite, facts.interfaceNumber),
                                 facts.location);
    out->listed.serialNumber = uniq != nullptr ? uniq : "";
    out->resolved.devnode = devnode;
    out->resolved.interfaceNumber = facts.interfaceNumber;
    out->resolved.serialNumber = out->listed.serialNumber;
    return true;
}

// A usb_interface as a vendor-driver interface; false when it is not of the
// vendor-specific class or its attributes are not sound.
bool DescribeVendorInterface(udev_device* intf, Found* out) {
    uint32_t cls = 0;
    if (!ParseHexField(udev_device_get_sysattr_value(intf, "bInterfaceClass"), 2, &cls) || cls != 0xFF) return false;
    InterfaceFacts facts;
    if (!ReadInterfaceFacts(intf, &facts, "usb")) return false;
    if (facts.usbfsNode.empty() || facts.idVendor > 0xFFFF || facts.idProduct > 0xFFFF) return false;
    out->listed.path = BuildPath(UsbClass::kVendor,
                                 IdentityText(static_cast<uint16_t>(facts.idVendor),
                                              static_cast<uint16_t>(facts.idProduct), facts.composite,
                                              facts.interfaceNumber),
                                 facts.location);
    out->resolved.devnode = facts.usbfsNode;
    out->resolved.interfaceNumber = facts.interfaceNumber;
    return true;
}

// Describes each device of an enumeration as an interface of `cls`.
void Collect(udev* u, udev_enumerate* e, UsbClass cls, std::vector<Found>* found) {
    udev_enumerate_scan_devices(e);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        DevicePtr dev(udev_device_new_from_syspath(u, udev_list_entry_get_name(entry)));
        if (!dev) continue;
        Found f;
        const bool ok = cls == UsbClass::kHid ? DescribeHidraw(dev.get(), &f) : DescribeVendorInterface(dev.get(), &f);
        if (ok) found->push_back(std::move(f));
    }
}

// Every present interface of a class.
std::vector<Found> Scan(UsbClass cls) {
    std::vector<Found> found;
    UdevPtr u(udev_new());
    if (!u) {
        QV_LOG("%s %d udev_new failed\n", "ListUsbInterfaces", __LINE__);
        return found;
    }
    EnumPtr e(udev_enumerate_new(u.get()));
    if (!e) return found;
    if (cls == UsbClass::kHid) {
        udev_enumerate_add_match_subsystem(e.get(), "hidraw");
    } else {
        udev_enumerate_add_match_subsystem(e.get(), "usb");
        udev_enumerate_add_match_property(e.get(), "DEVTYPE", "usb_interface");
    }
    Collect(u.get(), e.get(), cls, &found);
    return found;
}

// The interfaces of a class on the USB interface named `location`.
std::vector<Found> ScanLocation(UsbClass cls, const std::string& location) {
    std::vector<Found> found;
    UdevPtr u(udev_new());
    if (!u) return found;
    DevicePtr intf(udev_device_new_from_subsystem_sysname(u.get(), "usb", location.c_str()));
    if (!intf) return found;
    if (cls == UsbClass::kVendor) {
        Found f;
        if (DescribeVendorInterface(intf.get(), &f)) found.push_back(std::move(f));
        return found;
    }
    EnumPtr e(udev_enumerate_new(u.get()));
    if (!e) return found;
    udev_enumerate_add_match_subsystem(e.get(), "hidraw");
    udev_enumerate_add_match_parent(e.get(), intf.get());
    Collect(u.get(), e.get(), cls, &found);
    return found;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::optional<PathParts> SplitPath(std::string_view path) {
    PathParts parts;
    if (path.substr(0, 4) == "hid#") {
        parts.cls = UsbClass::kHid;
    } else if (path.substr(0, 4) == "usb#") {
        parts.cls = UsbClass::kVendor;
    } else {
        return std::nullopt;
    }
    path.remove_prefix(4);
    const size_t sep = path.find('#');
    if (sep == std::string_view::npos || sep == 0) return std::nullopt;
    parts.identity = std::string(path.substr(0, sep));
    parts.location = std::string(path.substr(sep + 1));
    if (!PlainLocation(parts.location.c_str())) return std::nullopt;
    return parts;
}

std::string IdentityText(uint16_t vid, uint16_t pid, bool composite, uint8_t interfaceNumber) {
    char text[32];
    if (composite) {
        std::snprintf(text, sizeof text, "vid_%04x&pid_%04x&mi_%02x", vid, pid, interfaceNumber);
    } else {
        std::snprintf(text, sizeof text, "vid_%04x&pid_%04x", vid, pid);
    }
    return text;
}

std::optional<ResolvedInterface> Resolve(const std::string& path) {
    std::optional<PathParts> parts = SplitPath(path);
    if (!parts) return std::nullopt;
    for (Found& f : ScanLocation(parts->cls, parts->location)) {
        // Another device on the same port is not the device the path names.
        if (SameText(SplitPath(f.listed.path)->identity, parts->identity)) return std::move(f.resolved);
    }
    return std::nullopt;
}

bool LockForShare(int fd, UsbShare share, uint32_t* status) {
    const int op = (share == UsbShare::kReadWrite ? LOCK_SH : LOCK_EX) | LOCK_NB;
    if (flock(fd, op) == 0) return true;
    if (errno == EWOULDBLOCK) {
        *status = kOpenDenied;
        return false;
    }
    return true;  // a node that takes no lock
}

uint32_t OpenErrnoStatus(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR: return kOpenNotFound;
        case EACCES:
        case EPERM:
        case EBUSY: return kOpenDenied;
        default: return kOpenFailed;
    }
}

}  // namespace usblinux

std::vector<UsbInterface> ListUsbInterfaces(UsbClass cls) {
    std::vector<UsbInterface> out;
    for (usblinux::Found& f : usblinux::Scan(cls)) out.push_back(std::move(f.listed));
    return out;
}

bool UsbInterfacePresent(const std::string& path) { return usblinux::Resolve(path).has_value(); }

std::string UsbSerialNumber(const std::string& path) {
    std::optional<usblinux::ResolvedInterface> r = usblinux::Resolve(path);
    return r ? r->serialNumber : std::string();
}

bool ProbeUsbPath(const std::string& path) {
    std::optional<usblinux::ResolvedInterface> r = usblinux::Resolve(path);
    if (!r) return false;
    const int fd = open(r->devnode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    uint32_t status = kOpenOk;
    const bool ok = usblinux::LockForShare(fd, UsbShare::kReadWrite, &status);
    close(fd);
    return ok;
}

std::unique_ptr<PortDevice> OpenUsbPath(const std::string& path, UsbShare share, uint32_t* status) {
    uint32_t dummy = 0;
    uint32_t& st = status != nullptr ? *status : dummy;
    std::optional<usblinux::PathParts> parts = usblinux::SplitPath(path);
    std::optional<usblinux::ResolvedInterface> r = usblinux::Resolve(path);
    if (!parts || !r) {
        st = kOpenNotFound;
        return nullptr;
    }
    if (parts->cls == UsbClass::kHid) return usblinux::OpenHidraw(r->devnode, share, &st);
    return usblinux::OpenUsbBulk(r->devnode, r->interfaceNumber, share, &st);
}

}  // namespace qv::platform

// Operating-system service: the USB interfaces a scanner may sit behind, and
// raw I/O on one of them.
//
// Two interface classes: HID interfaces (64-byte reports, HID feature
// reports) and interfaces of the vendor USB driver (raw bulk I/O). Each
// interface is named by a device path, which the port-stream layer parses for
// the vendor ID, product ID and interface number and matches against its
// device-ID table.
//
// On Linux (platform/linux) the interfaces are listed with libudev, HID I/O
// goes through hidraw and vendor-driver I/O through libusb-1.0. A Linux path
// reads "hid#vid_5ec7&pid_0022&mi_01#1-1.4:1.1" or "usb#vid_6666&pid_0010#2-3:1.0":
// the class, the identity the device reports (the "&mi_" part only for an
// interface of a composite device, one with more than one interface), and the
// sysfs name of the USB interface, which stays the same while the device stays
// on the same port. Later, platform/win32 will use SetupAPI and the HID calls,
// whose interface paths have the same identity part.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_port.h"

namespace qv::platform {

enum class UsbClass {
    kVendor,  // interfaces of the vendor USB driver ("usb#" paths)
    kHid,     // HID interfaces ("hid#" paths)
};

struct UsbInterface {
    std::string path;          // the device path (see above)
    std::string serialNumber;  // HID serial number; empty for none and for vendor-driver interfaces
};

// The present interfaces of one class, in the system's order. An interface
// whose attributes are missing or malformed is left out (with a log line).
std::vector<UsbInterface> ListUsbInterfaces(UsbClass cls);

// Whether the path names a present interface (without opening it).
bool UsbInterfacePresent(const std::string& path);

// The HID serial number of the interface a path names: empty when the
// interface is gone, has none, or is not a HID interface.
std::string UsbSerialNumber(const std::string& path);

// How an open shares the interface with other opens (of this or another
// process using this library), as the Windows sharing modes do for an open
// with read and write access: an exclusive open fails while any other open
// exists, and a shared open fails while an exclusive one exists.
enum class UsbShare {
    kNone,       // exclusive
    kRead,       // others may read: with read/write access this still excludes every other open
    kReadWrite,  // shared with other shared opens
};

// Opens the interface's device node for reading and writing, shared
// (UsbShare::kReadWrite), and closes it again: false when the interface is
// gone, not accessible, or held by an exclusive open.
bool ProbeUsbPath(const std::string& path);

// Opens the interface a path names for reading and writing. HID interfaces
// read and write whole reports (64 bytes for scanners) and take feature
// reports; vendor-driver interfaces move bytes over the interface's bulk IN
// and OUT endpoints. Status (numbered as OpenStatus): 2 no such interface, 5
// in use (sharing conflict) or not allowed, 1 anything else.
std::unique_ptr<PortDevice> OpenUsbPath(const std::string& path, UsbShare share, uint32_t* status);

}  // namespace qv::platform

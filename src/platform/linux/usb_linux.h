// Pieces shared by the Linux USB files: how a device path is built from what
// udev says about an interface and taken apart again, and the devices an open
// works on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/serial_port.h"
#include "platform/usb_devices.h"

namespace qv::platform::usblinux {

// What a path names.
struct PathParts {
    UsbClass cls = UsbClass::kHid;
    std::string identity;  // "vid_5ec7&pid_0022&mi_01"
    std::string location;  // sysfs name of the USB interface, "1-1.4:1.1"
};

// Splits "<class>#<identity>#<location>"; empty when the path has another form.
std::optional<PathParts> SplitPath(std::string_view path);

// The identity part: "vid_%04x&pid_%04x", plus "&mi_%02x" for an interface of
// a composite device.
std::string IdentityText(uint16_t vid, uint16_t pid, bool composite, uint8_t interfaceNumber);

// The interface a path names, as found now: its device node (the hidraw node,
// or the USB device's usbfs node), its interface number, and its HID serial
// number. Empty when nothing present matches the path's location and identity.
struct ResolvedInterface {
    std::string devnode;
    uint8_t interfaceNumber = 0;
    std::string serialNumber;
};
std::optional<ResolvedInterface> Resolve(const std::string& path);

// Takes the advisory lock that stands for a sharing mode on an open device
// node: exclusive for UsbShare::kNone and kRead, shared for kReadWrite.
// False (with status 5) when another open's mode conflicts. A node that
// cannot be locked at all is used without a lock.
bool LockForShare(int fd, UsbShare share, uint32_t* status);

// Status of a failed open() of a device node.
uint32_t OpenErrnoStatus(int err);

// The opened devices: hidraw_device_linux.cpp and usb_bulk_device_linux.cpp.
std::unique_ptr<PortDevice> OpenHidraw(const std::string& devnode, UsbShare share, uint32_t* status);
std::unique_ptr<PortDevice> OpenUsbBulk(const std::string& devnode, uint8_t interfaceNumber, UsbShare share,
                                        uint32_t* status);

}  // namespace qv::platform::usblinux

// USB scanners at the port-stream level: which interfaces are scanners
// (qvds_enum_usb_devices), opening one with its serial number recorded in the
// ShareMemory table (qvds_open_usb), and the path functions the firmware
// update and the hot-plug monitor use.
#pragma once

#include <cstdint>
#include <string>

#include "quorvia.h"

struct QvdsStream;

constexpr int QVDS_MAX_USB_DEVICES = 255;

// Longest serial number the HID serial-number read takes (a 100-byte buffer of
// UTF-16 units with its zero); a longer one reads as none.
constexpr size_t QVDS_MAX_USB_SERIAL = 49;

// Fills `table` (QVDS_MAX_USB_DEVICES descriptors) with the scanners among the
// present USB interfaces: vendor-driver interfaces first, then HID interfaces.
// An interface is left out when its path does not fit the descriptor (500
// characters and its zero), its identity does not match the device-ID table,
// it cannot be opened for reading and writing shared with others, or its HID
// serial number stands in the ShareMemory table (another open holds it).
// Returns the number filled (0 for a null table).
int qvds_enum_usb_devices(UsbDeviceDescriptor* table);

// Records the device's HID serial number in the ShareMemory table (nothing is
// recorded when it has none or the table is full), then qvds_open_path. The
// slot is freed again when the stream's device closes (a close, a lost
// device, a failed write or a failed open). A null descriptor gives status 8.
bool qvds_open_usb(QvdsStream* s, const UsbDeviceDescriptor* descriptor, uint32_t* status);

// Whether the interface a descriptor names is present, whoever holds it open.
bool qvds_usb_present(const UsbDeviceDescriptor* descriptor);

// Path comparison with product-ID toggle (see UsbPathMatchesWithToggle) on
// descriptor texts; false when either is not zero-terminated within 501 units.
bool qvds_usb_path_compare(const char16_t* reference, const char16_t* candidate);

// Writes a UTF-8 path into a descriptor's path field; false when it does not
// fit (500 UTF-16 units and the terminating zero) or is not valid UTF-8.
bool qvds_set_descriptor_path(UsbDeviceDescriptor* descriptor, const std::string& path);

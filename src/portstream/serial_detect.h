// COM-port enumeration (which ports exist and which driver serves them) and
// detection (at which baud rate and framing a scanner answers on each port).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorvia.h"

// One row per COM port; the same 12-byte layout as SerialSettings.
using SerialPortEntry = SerialSettings;

// Port kinds.
enum : uint8_t {
    QVDS_PORT_COM0COM = 6,
    QVDS_PORT_USB_VCOM = 7,
    QVDS_PORT_SERIAL = 8,
    QVDS_PORT_OTHER = 10,
};

// Enumeration modes.
constexpr int32_t QVDS_ENUM_ALL = -2;       // every COM port
constexpr int32_t QVDS_ENUM_USB_VCOM = -1;  // USB virtual COM ports only (any other value too)

constexpr int QVDS_MAX_PORTS = 255;

// Fills at most 255 rows (COM number and port kind, everything else 0) and
// returns the number filled.
int qvds_enum_serial_ports(SerialPortEntry* table, int32_t mode);

// Probes the rows in parallel (at most 16 workers) and fills baud rate, stop
// bits, parity and status of each. Returns `count`.
int qvds_detect_serial_settings(SerialPortEntry* table, int count);

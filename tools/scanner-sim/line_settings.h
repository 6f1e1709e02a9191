// Reading the line settings the host put on a pty.
#pragma once

#include <cstdint>

namespace qvsim {

struct LineSettings {
    uint32_t baud = 0;
    int stop = 1;
};

// On Linux the termios read through the pty master are the slave's, so this
// shows what the host program configured on "its" serial port.
bool read_line_settings(int master_fd, LineSettings& out);

// Puts a freshly created pty into raw mode with the given initial rate.
bool init_raw_line(int master_fd, uint32_t baud);

// Raw mode for the node side of a fake HID device: a read on the host's side
// returns only whole 64-byte reports, as a hidraw node does.
bool init_report_line(int master_fd);

// Baud rate set as an arbitrary value (BOTHER) through the termios2 interface;
// 0 when it cannot be read. Lives in its own file: the kernel header it needs
// clashes with <termios.h>.
uint32_t read_termios2_speed(int fd);

}  // namespace qvsim

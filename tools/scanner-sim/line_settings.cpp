#include "line_settings.h"

#include <termios.h>

namespace qvsim {

namespace {

struct SpeedEntry {
    speed_t code;
    uint32_t baud;
};

const SpeedEntry kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

}  // namespace

bool read_line_settings(int master_fd, LineSettings& out) {
    struct termios t {};
    if (tcgetattr(master_fd, &t) != 0) return false;
    const speed_t code = cfgetospeed(&t);
    uint32_t baud = 0;
    for (const auto& e : kSpeeds) {
        if (e.code == code) {
            baud = e.baud;
            break;
        }
    }
    if (baud == 0 && code != B0) baud = read_termios2_speed(master_fd);
    out.baud = baud;
    out.stop = (t.c_cflag & CSTOPB) ? 2 : 1;
    return true;
}

bool init_raw_line(int master_fd, uint32_t baud) {
    struct termios t {};
    if (tcgetattr(master_fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~CSTOPB;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    speed_t code = B9600;
    for (const auto& e : kSpeeds) {
        if (e.baud == baud) code = e.code;
    }
    if (cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) return false;
    return tcsetattr(master_fd, TCSANOW, &t) == 0;
}

bool init_report_line(int master_fd) {
    struct termios t {};
    if (tcgetattr(master_fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 64;
    t.c_cc[VTIME] = 0;
    return tcsetattr(master_fd, TCSANOW, &t) == 0;
}

}  // namespace qvsim

// Line rates without a B constant (14400, ...): termios2 with BOTHER. Kept in
// its own file because the kernel's termios headers clash with the C library's.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace qv::platform {

bool SetExactBaud(int fd, uint32_t baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~CBAUD;
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace qv::platform

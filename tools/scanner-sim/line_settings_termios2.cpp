// termios2 access, kept apart from <termios.h> whose struct termios clashes
// with the kernel's.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "line_settings.h"

namespace qvsim {

uint32_t read_termios2_speed(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    return static_cast<uint32_t>(t.c_ospeed);
}

}  // namespace qvsim

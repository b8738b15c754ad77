// The kernel's own termios2, read here alone: <termios.h> defines a struct termios of the C
// library's that <asm/termbits.h> would define again.
#include "sim/line/LineSpeed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

std::uint32_t PlxLineSpeedByNumber(int fd) {
    termios2 tio = {};
    if (::ioctl(fd, TCGETS2, &tio) != 0 || (tio.c_cflag & CBAUD) != BOTHER) return 0;
    return tio.c_ospeed;
}

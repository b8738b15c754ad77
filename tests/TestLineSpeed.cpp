// The kernel's own termios2, set here alone: <termios.h>, which the other tests use, defines a
// struct termios that <asm/termbits.h> would define again.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "tests/TestSupport.h"

bool SetLineSpeedByNumber(int fd, std::uint32_t nBaud) {
    termios2 tio = {};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag =
        (tio.c_cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD)) | BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = tio.c_ispeed = nBaud;
    return ::ioctl(fd, TCSETS2, &tio) == 0;
}

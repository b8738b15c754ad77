// Devices that look like serial ports but must never be driven as one: a terminal some session
// is using, a system console, a pseudo-terminal master. Setting such a device to 9600 raw and
// writing servo commands to it would take over somebody's login or the machine's console.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "serial/SystemRoots.h"

// Why a device must not be taken as a serial port: the error to report, and words for the user.
struct CDeviceRefusal {
    int nError = 0;    // 0: the device may be taken
    std::string sWhy;  // "the system console (ttyS0)", "the terminal of process 812 (bash)"
};

// Whether the character device rdev belongs to one of the kernel's terminal drivers (UARTs, USB
// adapters, pseudo-terminals...), as roots.sProc/tty/drivers lists them. Anything else (/dev/null,
// a watchdog, a disk) is no port, and for some of them the open alone has effects. True where the
// list cannot be read: nothing can be told then.
bool PlxIsTerminalDevice(dev_t rdev, const CSystemRoots& roots);

// Checks the character device rdev against every session's controlling terminal, the active
// system consoles and the terminal devices that are never a line of their own.
CDeviceRefusal PlxCheckDeviceFree(dev_t rdev, const CSystemRoots& roots);

// Opens the device sPath read and write, without waiting for modem lines and without making it a
// controlling terminal. Refuses, with the reason in errno and nothing on it changed, anything that
// is not a terminal device (ENOTTY) or that PlxCheckDeviceFree refuses: once before the open, since
// opening a terminal already raises its modem lines, and once more in full on what was opened,
// since by then the path may lead elsewhere or the terminal may have become somebody's. A device
// another program holds an flock on is refused (EBUSY) before the open only: after it, the
// caller's own flock tells. -1 on failure.
int PlxOpenFreeDevice(const std::string& sPath, const CSystemRoots& roots);

// Whether the descriptor a process has open, as sProc/<pid>/fd/<n> at sFdLink names it, is the
// character device rdev. Only a descriptor whose file the kernel names under /dev is looked at
// closer: a look at any other file may wait for ever on a network or FUSE file system that does
// not answer.
bool PlxFdIsDevice(const std::string& sFdLink, dev_t rdev);

// The processes that hold an flock(2) on the device node st names, as roots.sProc/locks lists
// them, those still running only.
std::vector<pid_t> PlxFlockOwners(const struct stat& st, const CSystemRoots& roots);

// The devices the kernel lists as active consoles.
std::vector<dev_t> PlxActiveConsoles(const CSystemRoots& roots);

// A small file read whole with plain read(2): files under /proc change and vanish while they
// are read, and a failure here must be a result, never an exception.
bool PlxReadSmallFile(const std::string& sPath, std::string* pText);

// The name the kernel keeps for process sPid ("screen"), from sProc/<pid>/comm; empty when it
// cannot be read.
std::string PlxProcessCommand(const std::string& sProc, const std::string& sPid);

// The kernel's name for line discipline nDiscipline ("n_null"), from sProc/tty/ldiscs; empty
// when it is not listed there or the list cannot be read.
std::string PlxLineDisciplineName(const std::string& sProc, int nDiscipline);

// "4:64", as sysfs and /proc/consoles write a device number.
bool PlxParseDeviceNumber(const std::string& sText, dev_t* pDev);

// How a Windows port name COMn finds a device on Linux.
//
// The port map directory is $XDG_CONFIG_HOME/plx/ports when that variable is set and absolute,
// else $HOME/.config/plx/ports. An entry named "com<n>" there (usually a symbolic link such as
// com1 -> /dev/ttyUSB0) is the device of COMn. Without an entry, COMn is /dev/ttyS<n-1> for
// n >= 1, as Windows programs see COM ports on Linux, and there is no device for n <= 0.
#pragma once

#include <cstdint>
#include <string>

// Without a map entry, COMn is this followed by n-1.
extern const char* const PLX_SERIAL_DEVICE_PREFIX;

// The port map directory; empty when neither variable gives an absolute path.
std::string PlxPortMapDirectory();

// The entry name of COMn in the port map ("com1", "com-1").
std::string PlxPortMapEntryName(std::int32_t nPort);

// The device path of COMn. False, with the reason in *pnError, when there is none (ENOENT) or the
// port map cannot be searched (EACCES and the like).
bool PlxResolveComPort(std::int32_t nPort, std::string* pPath, int* pnError);

// The number n of a port name "COMn" as the channel formats it ("COM%i"); false for other names.
bool PlxParsePortName(const char* pszName, std::int32_t* pnPort);

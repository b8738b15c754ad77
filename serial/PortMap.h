// How a Windows port name COMn finds a device on Linux.
//
// The port map directory is $XDG_CONFIG_HOME/plx/ports when that variable is set and absolute,
// else $HOME/.config/plx/ports. An entry there named com<n> in any case (com1, COM1; usually a
// symbolic link such as com1 -> /dev/ttyUSB0) is the device of COMn. Only when there is no port
// map directory at all, or it has no entry for n, is COMn /dev/ttyS<n-1> for n >= 1, as Windows
// programs see COM ports on Linux; there is no device for n <= 0. A map that is there in any
// form but cannot be searched (a file, no permission, a symbolic link on the way that leads
// nowhere or into a loop) is an error, never a reason to look elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Without a map entry, COMn is this followed by n-1.
extern const char* const PLX_SERIAL_DEVICE_PREFIX;

// The port map directory; empty when neither variable gives an absolute path.
std::string PlxPortMapDirectory();

// Why there is none, and what to do, for a user: "set HOME or XDG_CONFIG_HOME", or which of
// them is set but ignored because it is a relative path.
std::string PlxWhyNoPortMap();

// Whether the port map directory can be searched.
struct CPortMapCheck {
    enum class EState {
        Absent,    // neither it nor a folder on the way exists: there is no map
        Present,   // a directory
        Unusable,  // there in some form, but no directory to search; nError says why
    };
    EState eState = EState::Absent;
    int nError = 0;
    std::string sBrokenLink;  // the symbolic link on the way that leads nowhere, if that is why
};
CPortMapCheck PlxCheckPortMap(const std::string& sDirectory);

// The entry name made for COMn, by the simulator and by the mapping command the help prints
// ("com1", "com-1").
std::string PlxPortMapEntryName(std::int32_t nPort);

struct CPortMapEntry {
    std::string sName;  // as it stands in the directory: "com1", "COM12"
    std::int32_t nPort = 0;
};

// The entries of a port map directory that name a COM port, sorted by name. False, with the
// reason in *pnError, when the directory cannot be read.
bool PlxReadPortMap(const std::string& sDirectory, std::vector<CPortMapEntry>* pEntries,
                    int* pnError);

// The device path of COMn, and whether it came from the map (*pbMapped). False, with the reason
// in *pnError, when there is none (ENOENT), the map cannot be searched (ENOTDIR, EACCES, ELOOP,
// and ENOENT for a dangling link on the way) or two of its entries for n point to different
// places (ENOTUNIQ).
bool PlxResolveComPort(std::int32_t nPort, std::string* pPath, int* pnError,
                       bool* pbMapped = nullptr);

// What the symbolic link sPath holds; empty when it is no link (or cannot be read), with the
// reason in *pnError where given (0 when it was read).
std::string PlxLinkTarget(const std::string& sPath, int* pnError = nullptr);

// The number n of a port name "COMn" as the channel formats it ("COM%i"); false for other names.
bool PlxParsePortName(const char* pszName, std::int32_t* pnPort);

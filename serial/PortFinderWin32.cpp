// The COM ports Windows knows of: the serial device map in the registry, where every serial
// port driver enters the ports it made (what Device Manager shows under "Ports (COM & LPT)"),
// with SetupAPI's friendly names for them.
// SetupAPI's header needs the Windows types first.
// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <utility>

#include "serial/PortFinder.h"

namespace {

// The Ports (COM & LPT) device setup class.
const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// n of a port name "COMn" in any case; 0 for any other name.
std::int32_t PortNumber(const std::string& sName) {
    if (sName.size() < 4 || sName.size() > 10 || ::_strnicmp(sName.c_str(), "COM", 3) != 0)
        return 0;
    std::int32_t nPort = 0;
    for (std::size_t i = 3; i < sName.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(sName[i]))) return 0;
        nPort = nPort * 10 + (sName[i] - '0');
    }
    return nPort;
}

// A string value, without the terminating NUL the registry may or may not hold.
std::string RegistryText(const char* pszData, DWORD nBytes) {
    return std::string(pszData, ::strnlen(pszData, nBytes));
}

// SetupAPI's friendly names of the present ports ("USB Serial Port (COM4)"), by port number.
std::map<std::int32_t, std::string> FriendlyNames() {
    std::map<std::int32_t, std::string> names;
    const HDEVINFO hDevices = ::SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (hDevices == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(hDevices, i, &device); ++i) {
        const HKEY hKey =
            ::SetupDiOpenDevRegKey(hDevices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (hKey == INVALID_HANDLE_VALUE) continue;
        char szPort[64] = {};
        DWORD nPortBytes = sizeof(szPort) - 1;
        DWORD nType = 0;
        const bool bPort =
            ::RegQueryValueExA(hKey, "PortName", nullptr, &nType, reinterpret_cast<BYTE*>(szPort),
                               &nPortBytes) == ERROR_SUCCESS &&
            nType == REG_SZ;
        ::RegCloseKey(hKey);
        char szFriendly[256] = {};
        if (bPort && ::SetupDiGetDeviceRegistryPropertyA(
                         hDevices, &device, SPDRP_FRIENDLYNAME, nullptr,
                         reinterpret_cast<BYTE*>(szFriendly), sizeof(szFriendly) - 1, nullptr))
            names[PortNumber(RegistryText(szPort, nPortBytes))] = szFriendly;
    }
    ::SetupDiDestroyDeviceInfoList(hDevices);
    return names;
}

// What the system's reason means for a port that is there, after "COMn is one of them".
const char* ListedPortReason(int nError) {
    switch (nError) {
        case ERROR_ACCESS_DENIED:  // what Windows' own serial driver says: the port is open
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_BUSY:
        case ERROR_DEVICE_IN_USE:
            return ": is another program using it?";
        case ERROR_INVALID_FUNCTION:  // it opened, but takes none of a serial port's calls
        case ERROR_INVALID_HANDLE:
            return ", but what opened under that name is not a serial port.";
        case ERROR_INVALID_PARAMETER:  // it refused the line settings, or kept others
        case ERROR_NOT_SUPPORTED:
            return ", but it did not take 9600 baud, 8 data bits, no parity, 1 stop bit.";
        default:
            return ": the reason above is why it could not be used.";
    }
}

}  // namespace

std::vector<CSerialPortInfo> PlxListSerialPorts(const CSystemRoots& /*roots*/) {
    std::vector<std::pair<std::int32_t, CSerialPortInfo>> numbered;
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &hKey) != ERROR_SUCCESS)
        return {};  // no serial port driver has entered a port
    const std::map<std::int32_t, std::string> friendly = FriendlyNames();
    for (DWORD i = 0;; ++i) {
        char szName[256];
        DWORD nNameChars = sizeof(szName);
        char szValue[256] = {};
        DWORD nValueBytes = sizeof(szValue) - 1;
        DWORD nType = 0;
        const LONG nResult = ::RegEnumValueA(hKey, i, szName, &nNameChars, nullptr, &nType,
                                             reinterpret_cast<BYTE*>(szValue), &nValueBytes);
        if (nResult == ERROR_NO_MORE_ITEMS) break;
        if (nResult != ERROR_SUCCESS || nType != REG_SZ) continue;
        const std::int32_t nPort = PortNumber(RegistryText(szValue, nValueBytes));
        if (nPort <= 0) continue;
        CSerialPortInfo port;
        port.sName = "COM" + std::to_string(nPort);
        const auto it = friendly.find(nPort);
        if (it != friendly.end()) port.sDescription = it->second;
        numbered.emplace_back(nPort, port);
    }
    ::RegCloseKey(hKey);
    std::sort(numbered.begin(), numbered.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<CSerialPortInfo> ports;
    for (const auto& entry : numbered) ports.push_back(entry.second);
    return ports;
}

std::string PlxPortHelp(std::int32_t nPort, int nError, const std::vector<CSerialPortInfo>& ports,
                        const CSystemRoots& /*roots*/) {
    const std::string sCom = "COM" + std::to_string(nPort);
    if (ports.empty())
        return "This machine has no COM ports: plug in the controller's USB serial adapter, then "
               "look in Device Manager under Ports (COM & LPT).\n";
    std::string sHelp = "COM ports on this machine (Device Manager, Ports (COM & LPT)):\n";
    bool bListed = false;
    for (const CSerialPortInfo& port : ports) {
        sHelp += "  " + port.sName;
        if (!port.sDescription.empty()) sHelp += "  " + port.sDescription;
        sHelp += "\n";
        bListed = bListed || port.sName == sCom;
    }
    return sHelp + (bListed ? sCom + " is one of them" + ListedPortReason(nError) + "\n"
                            : sCom + " is not one of them: give one of these numbers.\n");
}

// Helps a user whose port did not open find the right one: which serial ports the machine has,
// what the port map holds and the one command that maps a port as COMn.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
// A COM port as Windows lists it.
struct CComPortInfo {
    std::int32_t nPort = 0;  // n of COMn
    std::string
        sFriendlyName;  // "USB Serial Port (COM4)", as Device Manager shows it; may be empty
};

// The COM ports of this machine: the names under HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM,
// with SetupAPI's friendly names where it has them. Sorted by number.
std::vector<CComPortInfo> PlxListComPorts();

// A few lines for standard error after COMn could not be opened for the system's reason nError:
// the COM ports there are, and whether COMn is one of them, and if it is, what the reason means;
// or that the machine has none.
std::string PlxComPortHelp(std::int32_t nPort, int nError, const std::vector<CComPortInfo>& ports);
#else
#include "serial/TerminalGuard.h"

struct CSerialPortInfo {
    std::string sDevice;             // "/dev/ttyUSB0"
    std::string sDescription;        // "FT232R USB UART, FTDI", or what kind of port it is
    std::vector<std::string> links;  // stable names: "/dev/serial/by-id/usb-FTDI_..."
    std::string sUnusable;           // why it is no port for servos ("the system console")
};

// The serial ports the kernel shows under roots.sSys: USB and ACM adapters, and built-in UARTs
// that have hardware behind them. Sorted by device name.
std::vector<CSerialPortInfo> PlxListSerialPorts(const CSystemRoots& roots);

// A few lines for standard error after COMn could not be opened for the reason nError: what COMn
// is and why it was refused, the serial ports, the port map's entries, and how to map a port as
// COMn.
std::string PlxPortHelp(std::int32_t nPort, const CSystemRoots& roots, int nError = 0);
#endif

// Helps a user whose port did not open find the right one: which serial ports the machine has,
// and what to do about COMn. PortFinderWin32.cpp asks Windows (the serial device map, Device
// Manager's names); PortFinderPosix.cpp asks the kernel and the port map.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/SystemRoots.h"

// A serial port of this machine, as the user would pick it.
struct CSerialPortInfo {
    std::string sName;         // "COM4"; "/dev/ttyUSB0"
    std::string sDescription;  // "USB Serial Port (COM4)"; "FT232R USB UART, FTDI"; may be empty
    std::vector<std::string> links;  // stable names: "/dev/serial/by-id/usb-FTDI_..." (Linux)
    std::string sUnusable;           // why it is no port for servos ("the system console")
};

// The machine's serial ports. On Windows: those in the registry's serial device map
// (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM), with SetupAPI's friendly names where it
// has them, sorted by number. On Linux: the USB and ACM adapters, and the built-in UARTs with
// hardware behind them, that the kernel shows under roots.sSys, sorted by device name.
std::vector<CSerialPortInfo> PlxListSerialPorts(const CSystemRoots& roots = CSystemRoots());

// A few lines for standard error after COMn could not be opened for the system's reason nError,
// given the machine's ports: on Windows whether COMn is one of them and, if it is, what the
// reason means, or that the machine has none; on Linux what COMn is and why it was refused, the
// ports, the port map's entries, and how to map a port as COMn.
std::string PlxPortHelp(std::int32_t nPort, int nError, const std::vector<CSerialPortInfo>& ports,
                        const CSystemRoots& roots = CSystemRoots());

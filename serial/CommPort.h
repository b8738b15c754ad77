// CCommPort: one serial port, opened by number, set up for the controller, written to and
// released when the object goes.
#pragma once

#include <cstdint>
#include <string>

#include "serial/CommApi.h"

class CCommPort {
public:
    // Stores the port number n of COMn and the line speed; touches no device.
    CCommPort(std::int32_t nPort, std::int32_t nBaudRate);
    // Releases the port if Open obtained it.
    virtual ~CCommPort();

    CCommPort(const CCommPort&) = delete;
    CCommPort& operator=(const CCommPort&) = delete;

    // Opens COMn for this program alone at the object's speed, no parity, 8 data bits, 1 stop
    // bit. On failure the user has already been shown why, in a warning box, and no port is
    // held. Call once.
    bool Open();

    // Writes the bytes in one blocking call; returns how many went out. Only after Open.
    std::uint32_t Write(const void* pData, std::uint32_t nLength);

    // Releases the port now, for a caller that must know whether that worked; the object then
    // holds nothing. False, with the reason as the last error, when the system could not release
    // it in full (the line may stay marked for this program's use). Nothing held is success.
    bool Close();

private:
    std::int32_t m_nPort;
    std::int32_t m_nBaudRate;
    HCOMM m_hComm;
};

// "COM1: baud=9600 parity=N data=8 stop=1 TO=OFF"
std::string PlxFormatModeString(std::int32_t nPort, std::int32_t nBaudRate);

// The text of the warning box for a port that cannot be opened; sSystemText is the system's
// explanation, kept exactly as given.
std::string PlxFormatOpenFailure(std::int32_t nPort, const std::string& sSystemText);

// The caption of that box.
extern const char* const PLX_OPEN_FAILURE_CAPTION;

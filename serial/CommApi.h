// The platform layer beneath CCommPort: one function for each operating-system call the channel
// makes on the port, each with the contract of the Win32 call named beside it. CommApiWin32.cpp
// makes those very calls on Windows; CommApiPosix.cpp implements them for Linux. What the channel
// tells the user is in UserApi.h.
//
// As on Win32, a function that fails leaves its reason for PlxGetLastError().
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The platform's own handle and records.
using HCOMM = HANDLE;
constexpr HCOMM HCOMM_NULL = nullptr;
inline const HCOMM HCOMM_INVALID = INVALID_HANDLE_VALUE;
using CCommState = DCB;
using CCommTimeouts = COMMTIMEOUTS;
#else
// An open serial port. On POSIX a file descriptor.
using HCOMM = int;
// Nothing asked for yet (a Win32 null handle). Descriptors are never negative, so 0 stays usable.
constexpr HCOMM HCOMM_NULL = -2;
// An open that failed (INVALID_HANDLE_VALUE).
constexpr HCOMM HCOMM_INVALID = -1;

enum class EParity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class EStopBits : std::uint8_t { One, OneAndHalf, Two };

// The line settings the channel cares about (the Win32 DCB).
struct CCommState {
    std::uint32_t BaudRate = 0;
    std::uint8_t ByteSize = 8;
    EParity Parity = EParity::None;
    EStopBits StopBits = EStopBits::One;
    bool fOutxCtsFlow = false;  // hardware flow control
    bool fOutX = false;         // XON/XOFF on output
    bool fInX = false;          // XON/XOFF on input
};

// Timeouts in milliseconds (the Win32 COMMTIMEOUTS). All zero: reads wait for data.
struct CCommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};
#endif

// CreateFileA(name, read|write, no sharing, OPEN_EXISTING): opens the port named "COMn" for this
// process alone, without blocking on modem lines, with no line error left pending from before
// (ClearCommError). HCOMM_INVALID on failure, and always for a device that is no serial line of
// its own: a terminal some session uses, a system console, a pseudo-terminal master, a device of
// no terminal driver at all (never opened), a line another line discipline runs a protocol on,
// a line another program holds (locked, or marked for exclusive use, which root gets past).
// Each is refused before anything on it changes.
HCOMM PlxCreateFile(const char* pszPortName);

// GetLastError / SetLastError.
int PlxGetLastError();
void PlxSetLastError(int nError);

// FormatMessageA(FROM_SYSTEM) and LocalFree in one: the system's text for an error code.
std::string PlxFormatMessage(int nError);

// SetupComm: recommended queue sizes in bytes.
bool PlxSetupComm(HCOMM hComm, std::uint32_t nInQueue, std::uint32_t nOutQueue);

// GetCommState: the port's current settings. Fails on anything that is not a serial line.
bool PlxGetCommState(HCOMM hComm, CCommState* pState);

// BuildCommDCBAndTimeoutsA: applies a mode string such as
// "COM1: baud=9600 parity=N data=8 stop=1 TO=OFF" to *pState and sets *pTimeouts as its TO= asks.
// Settings the string does not name are kept, except that flow control is turned off unless the
// string turns it on, and that on Windows every setting that changes what goes out or whether
// writes keep working is set outright: binary, no abort on error, no null stripping, no error
// character, XON 0x11 and XOFF 0x13. Fails on anything it does not understand, changing nothing.
bool PlxBuildCommDCBAndTimeouts(const char* pszMode, CCommState* pState, CCommTimeouts* pTimeouts);

// SetCommState: applies the settings to a raw line (no translation, echo or signals). Fails when
// the device does not read them back as set.
bool PlxSetCommState(HCOMM hComm, const CCommState& state);

// SetCommTimeouts: applies the read timeouts and makes writes block.
bool PlxSetCommTimeouts(HCOMM hComm, const CCommTimeouts& timeouts);

// WriteFile: writes all nLength bytes, waiting as needed; *pWritten gets the count that went out.
// False when fewer went out.
bool PlxWriteFile(HCOMM hComm, const void* pData, std::uint32_t nLength, std::uint32_t* pWritten);

// CloseHandle: releases the port. False when that failed: on Linux, when the exclusive mark
// could not be lifted, and other programs may then find the line busy.
bool PlxCloseHandle(HCOMM hComm);

// The platform layer on Windows: the Win32 calls themselves.
#include <cctype>
#include <string>

#include "serial/CommApi.h"

namespace {

bool Names(const std::string& sLowerMode, const char* pszKey) {
    return sLowerMode.find(pszKey) != std::string::npos;
}

}  // namespace

HCOMM PlxCreateFile(const char* pszPortName) {
    // In the device namespace: the plain name "COM10" and above reaches no device.
    const std::string sDevice = std::string("\\\\.\\") + pszPortName;
    const HANDLE hComm = ::CreateFileA(sDevice.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hComm != INVALID_HANDLE_VALUE) {
        // A framing error or break another program left pending would, with fAbortOnError set
        // by it, fail every write until cleared.
        DWORD nErrors = 0;
        COMSTAT status{};
        ::ClearCommError(hComm, &nErrors, &status);
    }
    return hComm;
}

int PlxGetLastError() { return static_cast<int>(::GetLastError()); }

void PlxSetLastError(int nError) { ::SetLastError(static_cast<DWORD>(nError)); }

std::string PlxFormatMessage(int nError) {
    char* pszText = nullptr;
    const DWORD nLength = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(nError), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&pszText), 0, nullptr);
    if (nLength == 0 || pszText == nullptr) {
        // Nothing to release: the system allocated nothing.
        return "Unknown error " + std::to_string(nError) + ".\r\n";
    }
    std::string sText(pszText, nLength);
    ::LocalFree(pszText);
    return sText;
}

bool PlxSetupComm(HCOMM hComm, std::uint32_t nInQueue, std::uint32_t nOutQueue) {
    return ::SetupComm(hComm, nInQueue, nOutQueue) != FALSE;
}

bool PlxGetCommState(HCOMM hComm, CCommState* pState) {
    pState->DCBlength = sizeof(DCB);
    return ::GetCommState(hComm, pState) != FALSE;
}

bool PlxBuildCommDCBAndTimeouts(const char* pszMode, CCommState* pState, CCommTimeouts* pTimeouts) {
    if (!::BuildCommDCBAndTimeoutsA(pszMode, pState, pTimeouts)) return false;
    // Windows turns flow control and handshaking off unless the string names them; some
    // implementations of the call keep whatever the device had. Say it outright.
    std::string sMode(pszMode);
    for (char& c : sMode) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!Names(sMode, "xon=")) pState->fOutX = pState->fInX = FALSE;
    if (!Names(sMode, "octs=")) pState->fOutxCtsFlow = FALSE;
    if (!Names(sMode, "odsr=")) pState->fOutxDsrFlow = FALSE;
    if (!Names(sMode, "idsr=")) pState->fDsrSensitivity = FALSE;
    if (!Names(sMode, "dtr=")) pState->fDtrControl = DTR_CONTROL_ENABLE;
    if (!Names(sMode, "rts=")) pState->fRtsControl = RTS_CONTROL_ENABLE;
    // What a previous program left set must not change the bytes or stop the writes: binary
    // (Windows supports nothing else), no NUL bytes dropped, no error character put in, and no
    // error that makes every later write fail until cleared. XON and XOFF must differ, or
    // SetCommState fails.
    pState->fBinary = TRUE;
    pState->fNull = FALSE;
    pState->fErrorChar = FALSE;
    pState->fAbortOnError = FALSE;
    pState->XonChar = 0x11;
    pState->XoffChar = 0x13;
    return true;
}

bool PlxSetCommState(HCOMM hComm, const CCommState& state) {
    CCommState wanted = state;
    wanted.DCBlength = sizeof(DCB);
    if (!::SetCommState(hComm, &wanted)) return false;
    // A driver may take the call and not the settings; a line the controller cannot follow
    // garbles every command, so it counts as a failure.
    CCommState actual{};
    if (!PlxGetCommState(hComm, &actual)) return false;
    if (actual.BaudRate != wanted.BaudRate || actual.ByteSize != wanted.ByteSize ||
        actual.Parity != wanted.Parity || actual.StopBits != wanted.StopBits ||
        actual.fOutX != wanted.fOutX || actual.fInX != wanted.fInX ||
        actual.fOutxCtsFlow != wanted.fOutxCtsFlow) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    // Output held as if an XOFF had come (EscapeCommFunction(SETXOFF) holds it even without
    // XON/XOFF flow control) would stop every write. Windows' own serial driver drops the hold
    // when the port is closed, but other drivers, and Wine on a line that something else keeps
    // open, may keep it. Without XON/XOFF on output, acting as if an XON had come changes nothing
    // else and sends nothing; a driver that refuses it is left as it is.
    if (!wanted.fOutX) ::EscapeCommFunction(hComm, SETXON);
    return true;
}

bool PlxSetCommTimeouts(HCOMM hComm, const CCommTimeouts& timeouts) {
    CCommTimeouts copy = timeouts;
    return ::SetCommTimeouts(hComm, &copy) != FALSE;
}

bool PlxWriteFile(HCOMM hComm, const void* pData, std::uint32_t nLength, std::uint32_t* pWritten) {
    const auto* pBytes = static_cast<const unsigned char*>(pData);
    std::uint32_t nDone = 0;
    bool bOk = true;
    // A write may come back short; go on until everything is out or nothing more goes.
    while (nDone < nLength) {
        DWORD nWritten = 0;
        if (!::WriteFile(hComm, pBytes + nDone, nLength - nDone, &nWritten, nullptr)) {
            bOk = false;
            break;
        }
        if (nWritten == 0) {
            ::SetLastError(ERROR_WRITE_FAULT);
            bOk = false;
            break;
        }
        nDone += nWritten;
    }
    *pWritten = nDone;
    return bOk;
}

bool PlxCloseHandle(HCOMM hComm) { return ::CloseHandle(hComm) != FALSE; }

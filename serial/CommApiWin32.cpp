// The platform layer on Windows: the Win32 calls themselves.
#include <cctype>
#include <string>

#include "serial/CommApi.h"
#include "serial/PortFinder.h"

namespace {

bool Names(const std::string& sLowerMode, const char* pszKey) {
    return sLowerMode.find(pszKey) != std::string::npos;
}

// Text as bytes on a standard handle: line ends as a console program in text mode writes them,
// CR LF. The system's own texts end in CR LF already, which stays one line end.
void WriteStd(DWORD nWhich, const std::string& sText) {
    std::string sOut;
    for (char c : sText) {
        if (c == '\n' && (sOut.empty() || sOut.back() != '\r')) sOut += '\r';
        sOut += c;
    }
    const HANDLE hStd = ::GetStdHandle(nWhich);
    DWORD nWritten = 0;
    for (std::size_t nDone = 0; nDone < sOut.size(); nDone += nWritten) {
        if (!::WriteFile(hStd, sOut.data() + nDone, static_cast<DWORD>(sOut.size() - nDone),
                         &nWritten, nullptr) ||
            nWritten == 0)
            return;
    }
}

void WriteStdErr(const std::string& sText) { WriteStd(STD_ERROR_HANDLE, sText); }

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

std::string PlxConvertCodePage(const std::string& sText, unsigned nFrom, unsigned nTo) {
    if (sText.empty() || nFrom == nTo) return sText;
    const int nWide =
        ::MultiByteToWideChar(nFrom, 0, sText.data(), static_cast<int>(sText.size()), nullptr, 0);
    if (nWide <= 0) return sText;
    std::wstring sWide(static_cast<std::size_t>(nWide), L'\0');
    ::MultiByteToWideChar(nFrom, 0, sText.data(), static_cast<int>(sText.size()), sWide.data(),
                          nWide);
    const int nBytes =
        ::WideCharToMultiByte(nTo, 0, sWide.data(), nWide, nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0) return sText;
    std::string sOut(static_cast<std::size_t>(nBytes), '\0');
    ::WideCharToMultiByte(nTo, 0, sWide.data(), nWide, sOut.data(), nBytes, nullptr, nullptr);
    return sOut;
}

std::string PlxConsoleText(const std::string& sText) {
    DWORD nMode = 0;
    if (!::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &nMode)) return sText;
    return PlxConvertCodePage(sText, ::GetACP(), ::GetConsoleOutputCP());
}

void PlxMessageBox(const std::string& sText, const char* pszCaption) {
    const DWORD nSaved = ::GetLastError();
    // No desktop (a service, a locked-down session, no display): the reason goes where it can
    // still be read.
    if (::MessageBoxA(nullptr, sText.c_str(), pszCaption, MB_ICONWARNING) != IDOK)
        WriteStdErr(std::string(pszCaption) + ": " + PlxConsoleText(sText) + "\n");
    ::SetLastError(nSaved);
}

void PlxExplainOpenFailure(std::int32_t nPort) {
    const DWORD nSaved = ::GetLastError();  // the reason the open failed
    WriteStdErr(PlxConsoleText(PlxComPortHelp(nPort, static_cast<int>(nSaved), PlxListComPorts())));
    ::SetLastError(nSaved);
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

bool PlxStdHandlesOpen() {
    for (DWORD nWhich : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE hStd = ::GetStdHandle(nWhich);
        if (hStd == nullptr || hStd == INVALID_HANDLE_VALUE) return false;
    }
    return true;
}

int PlxHoldConsoleWindow(int nStatus) {
    const HANDLE hIn = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD nMode = 0;
    DWORD processes[2] = {};
    // Alone on the console it reads and writes: nothing else keeps the window open once this
    // program ends. Under a command prompt or a script the list holds the shell too.
    if (nStatus != 1 || !::GetConsoleMode(hIn, &nMode) ||
        !::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &nMode) ||
        ::GetConsoleProcessList(processes, 2) != 1)
        return nStatus;
    // Keys already pressed (the port number's Enter, or the rest of its line) are no answer, and
    // the console's line reading would hand on what is left of a line: whole key presses only.
    ::FlushConsoleInputBuffer(hIn);
    WriteStd(STD_OUTPUT_HANDLE, "Press Enter to close this window.");
    INPUT_RECORD input{};
    DWORD nRead = 0;
    while (::ReadConsoleInputA(hIn, &input, 1, &nRead) && nRead == 1) {
        if (input.EventType == KEY_EVENT && input.Event.KeyEvent.bKeyDown &&
            input.Event.KeyEvent.wVirtualKeyCode == VK_RETURN)
            break;
    }
    return nStatus;
}

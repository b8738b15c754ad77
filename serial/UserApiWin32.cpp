// The calls that talk to the user, on Windows: the Win32 calls themselves, and text on the
// standard handles as a console program in text mode writes it.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "serial/PortFinder.h"
#include "serial/UserApi.h"

namespace {

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
    WriteStdErr(PlxConsoleText(PlxPortHelp(nPort, static_cast<int>(nSaved), PlxListSerialPorts())));
    ::SetLastError(nSaved);
}

bool PlxStdHandlesOpen() {
    for (DWORD nWhich : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        const HANDLE hStd = ::GetStdHandle(nWhich);
        if (hStd == nullptr || hStd == INVALID_HANDLE_VALUE) return false;
    }
    return true;
}

void PlxReadInputAsBytes() { _setmode(_fileno(stdin), _O_BINARY); }

bool PlxAloneOnConsole() {
    DWORD nMode = 0;
    DWORD processes[2] = {};
    // Alone on the console it reads and writes: nothing else keeps the window open once this
    // program ends. Under a command prompt or a script the list holds the shell too.
    return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &nMode) &&
           ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &nMode) &&
           ::GetConsoleProcessList(processes, 2) == 1;
}

int PlxHoldConsoleWindow(int nStatus, bool bAlone) {
    if (nStatus != 1 || !bAlone) return nStatus;
    const HANDLE hIn = ::GetStdHandle(STD_INPUT_HANDLE);
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

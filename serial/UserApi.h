// The platform calls that talk to the user rather than to the port: the warning box, the help
// after a failed open, text for the console, and the start-up and closing of a console program.
// UserApiWin32.cpp makes the Win32 calls named beside them on Windows; UserApiPosix.cpp uses the
// terminal on Linux.
#pragma once

#include <cstdint>
#include <string>

// The system's text as standard error should carry it: on Windows, in the console's code page
// when standard error is a console (the system writes its text in the ANSI code page); as it is
// for a file or a pipe, and everywhere else.
std::string PlxConsoleText(const std::string& sText);
#ifdef _WIN32
// Text from one Windows code page to another; unchanged when it cannot be converted.
std::string PlxConvertCodePage(const std::string& sText, unsigned nFrom, unsigned nTo);
#endif

// MessageBoxA(no owner, text, caption, MB_ICONWARNING): shows the text with a warning mark and an
// OK button and returns once the user has dismissed it (at once when nobody can). Where the box
// cannot be shown at all, the text goes to standard error instead. The last error is kept.
void PlxMessageBox(const std::string& sText, const char* pszCaption);

// After that box: what the platform can tell the user to help find the right port (what COMn
// is, the ports the machine has), on standard error. Reads the reason the open failed as the
// last error, and keeps it.
void PlxExplainOpenFailure(std::int32_t nPort);

// Whether standard input, output and error are open: what stands for the class framework's
// start-up check (AfxWinInit).
bool PlxStdHandlesOpen();

// Standard input read as the bytes that come, as the dialogue ends lines itself (LF, CR LF or a
// lone CR). On Windows the C runtime's text mode would hold a lone CR back until the next byte
// shows whether LF follows, and end the input at a Ctrl+Z byte; nothing to do on Linux.
void PlxReadInputAsBytes();

// Whether the program is alone on a console window of its own, which closes as the program
// ends (a double-click started it): asked at start, before any other program (a tool that reads
// the window) may have joined the console for a moment. False on Linux.
bool PlxAloneOnConsole();

// At the end of the run, with the status it ends with. A run that failed (1) alone on its
// console window (bAlone, from PlxAloneOnConsole) says so on standard output and waits for Enter
// pressed from then on, so that what it said can be read. Anywhere else (a command prompt, a
// pipe, a script) and on Linux it does nothing. Returns nStatus.
int PlxHoldConsoleWindow(int nStatus, bool bAlone);

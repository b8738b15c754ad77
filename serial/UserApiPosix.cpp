// The calls that talk to the user, on Linux: the warning box drawn in text on standard error, the
// help after it, and the start-up check of the standard streams.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "serial/CommApi.h"
#include "serial/PortFinder.h"
#include "serial/UserApi.h"
#include "serial/WarningBox.h"

namespace {

// Standard error is a handle like the port's: the same write that goes on after signals and
// short writes.
void WriteStdErr(const std::string& sText) {
    std::uint32_t nWritten = 0;
    PlxWriteFile(STDERR_FILENO, sText.data(), static_cast<std::uint32_t>(sText.size()), &nWritten);
}

}  // namespace

std::string PlxConsoleText(const std::string& sText) { return sText; }

void PlxMessageBox(const std::string& sText, const char* pszCaption) {
    const int nSaved = errno;
    // Someone must see the box to dismiss it: with standard error in a file it would wait unseen.
    const bool bPerson = ::isatty(STDIN_FILENO) != 0 && ::isatty(STDERR_FILENO) != 0;
    // The box stands until Enter: keys pressed before it appeared must not dismiss it.
    if (bPerson) ::tcflush(STDIN_FILENO, TCIFLUSH);
    WriteStdErr(PlxRenderWarningBox(sText, pszCaption));
    if (bPerson) {
        char c = 0;
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == '\n' || c == '\r') break;
        }
    }
    errno = nSaved;
}

void PlxExplainOpenFailure(std::int32_t nPort) {
    const int nSaved = errno;
    WriteStdErr(PlxPortHelp(nPort, nSaved, PlxListSerialPorts()));
    errno = nSaved;
}

bool PlxStdHandlesOpen() {
    const int kStandard[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    // Only a descriptor the system does not know is closed; any other answer is from one open.
    return std::all_of(std::begin(kStandard), std::end(kStandard),
                       [](int fd) { return ::fcntl(fd, F_GETFD) >= 0 || errno != EBADF; });
}

void PlxReadInputAsBytes() {}

// A terminal window is the user's own: it stays when the program ends.
bool PlxAloneOnConsole() { return false; }

int PlxHoldConsoleWindow(int nStatus, bool /*bAlone*/) { return nStatus; }

#include "sim/Simulator.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <ostream>
#include <vector>

#include "serial/CommApi.h"
#include "serial/PortMap.h"
#include "sim/LineWatch.h"
#include "sim/PortRegistration.h"
#include "sim/PtyLine.h"
#include "sim/ReportOut.h"
#include "sim/ServoBoard.h"
#include "sim/SimPanel.h"
#include "sim/SimReport.h"
#include "sim/SscDecoder.h"

#ifndef PLX_VERSION
#define PLX_VERSION "0"
#endif

namespace {

const char kHelp[] =
    "Usage: plx-ssc-sim [OPTION]...\n"
    "A simulated MINI-SSC II servo controller on a pseudo-terminal. It registers the terminal as\n"
    "COMn in the port map that plx-ssc-test reads, listens (it never sends a byte) and prints one\n"
    "line for each thing that happens on the line (at a terminal, a live view of the servos),\n"
    "until Ctrl+C, Ctrl+D at its terminal, or the end of a pipe on its standard input.\n"
    "\n"
    "  --port N       register as COMn (default 1)\n"
    "  --no-map       do not register; only print the device path\n"
    "  --baud B       baud jumper: 2400 or 9600 (default 9600)\n"
    "  --range R      range jumper: 90 or 180 degrees (default 90)\n"
    "  --id I         identification jumper: 0 answers servos 0-7, 8 answers 8-15 (default 0)\n"
    "  --json         one JSON object per line instead of words\n"
    "  --log          one line per event at a terminal too, instead of the live view\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "The port map is $XDG_CONFIG_HOME/plx/ports, else ~/.config/plx/ports. Pulse widths are a\n"
    "model: 1500 us at position 127, 500 us (90) or 1000 us (180) either side at 0 and 254.\n";

bool ParseInt(const char* psz, long nMin, long nMax, long* pnValue) {
    if (psz == nullptr || *psz == '\0') return false;
    char* pszEnd = nullptr;
    errno = 0;
    const long n = std::strtol(psz, &pszEnd, 10);
    if (errno != 0 || *pszEnd != '\0' || n < nMin || n > nMax) return false;
    *pnValue = n;
    return true;
}

// Reads one option's value, from "--opt=value" or the next argument.
bool TakeValue(int argc, const char* const* argv, int* pi, const std::string& sArg,
               const std::string& sName, const char** ppszValue) {
    if (sArg == sName) {
        *ppszValue = *pi + 1 < argc ? argv[++*pi] : nullptr;
        return true;
    }
    if (sArg.rfind(sName + "=", 0) == 0) {
        *ppszValue = argv[*pi] + sName.size() + 1;
        return true;
    }
    return false;
}

// What the signal handlers saw: the signal that ends the simulator, and a changed window size.
volatile std::sig_atomic_t g_nEndSignal = 0;
volatile std::sig_atomic_t g_nResized = 0;

void NoteEnd(int nSignal) { g_nEndSignal = nSignal; }
void NoteResize(int /*nSignal*/) { g_nResized = 1; }

// Handlers that do not restart calls: a write held up by a full pipe or a paused terminal, like
// the wait for the line, comes back at once, and the simulator can end and remove its entry.
bool CatchSignals() {
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = NoteEnd;
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        if (::sigaction(nSignal, &action, nullptr) != 0) return false;
    }
    action.sa_handler = NoteResize;
    if (::sigaction(SIGWINCH, &action, nullptr) != 0) return false;
    // A reader that went away shows as a failed write, and ends the run like one.
    return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

const char* SignalName(int nSignal) {
    switch (nSignal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "SIGQUIT";
    }
}

// Whether the simulator runs in the background of its terminal fd (a job started with &).
bool InBackground(int fd) {
    const pid_t foreground = ::tcgetpgrp(fd);
    return foreground >= 0 && foreground != ::getpgrp();
}

// Whether standard input says when to end: a pipe or socket (its end), or a terminal the
// simulator is not in the background of (Ctrl+D). /dev/null or a file says nothing, and reading
// a terminal from the background would stop the simulator.
bool InputEndsTheRun() {
    struct stat st;
    if (::fstat(STDIN_FILENO, &st) != 0) return false;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return true;
    return ::isatty(STDIN_FILENO) != 0 && !InBackground(STDIN_FILENO);
}

// Whether standard output is a terminal that takes the live view: one that knows escape
// sequences, and that the simulator does not share as a background job.
bool PanelFits() {
    const char* pszTerm = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) != 0 && pszTerm != nullptr && *pszTerm != '\0' &&
           std::strcmp(pszTerm, "dumb") != 0 && !InBackground(STDOUT_FILENO);
}

// Whether a process other than this one has the device open.
bool HeldByAnother(dev_t rdev) {
    DIR* pProc = ::opendir("/proc");
    if (pProc == nullptr) return true;  // cannot tell: leave the mark
    const std::string sSelf = std::to_string(::getpid());
    bool bHeld = false;
    while (const dirent* pEntry = ::readdir(pProc)) {
        const std::string sPid = pEntry->d_name;
        if (sPid.find_first_not_of("0123456789") != std::string::npos || sPid == sSelf) continue;
        const std::string sFds = "/proc/" + sPid + "/fd";
        DIR* pFds = ::opendir(sFds.c_str());
        if (pFds == nullptr) continue;  // gone, or another user's
        while (const dirent* pFd = ::readdir(pFds)) {
            struct stat st;
            if (pFd->d_name[0] != '.' && ::stat((sFds + "/" + pFd->d_name).c_str(), &st) == 0 &&
                S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                bHeld = true;
                break;
            }
        }
        ::closedir(pFds);
        if (bHeld) break;
    }
    ::closedir(pProc);
    return bHeld;
}

// A program that held the line with TIOCEXCL and was killed cannot lift the mark, and on a
// pseudo-terminal it outlives the program, so nobody but root could open the port again. The
// mark is stale once no program holds the port's lock and none has the line open; a program
// that marks without locking (as several terminal programs do) keeps its mark while it runs.
void LiftStaleExclusiveMark(int slave) {
    int nExclusive = 0;
    if (::ioctl(slave, TIOCGEXCL, &nExclusive) != 0 || nExclusive == 0) return;
    if (::flock(slave, LOCK_EX | LOCK_NB) != 0) return;  // still held by its program
    struct stat st;
    if (::fstat(slave, &st) == 0 && !HeldByAnother(st.st_rdev)) ::ioctl(slave, TIOCNXCL);
    ::flock(slave, LOCK_UN);
}

}  // namespace

EParseResult PlxParseSimOptions(int argc, const char* const* argv, CSimOptions* pOptions,
                                std::string* pMessage) {
    for (int i = 1; i < argc; ++i) {
        const std::string sArg = argv[i];
        const char* pszValue = nullptr;
        long n = 0;
        if (sArg == "--help" || sArg == "-h") {
            *pMessage = kHelp;
            return EParseResult::Done;
        }
        if (sArg == "--version") {
            *pMessage = std::string("plx-ssc-sim ") + PLX_VERSION + "\n";
            return EParseResult::Done;
        }
        if (sArg == "--no-map") {
            pOptions->bMap = false;
        } else if (sArg == "--json") {
            pOptions->bJson = true;
        } else if (sArg == "--log") {
            pOptions->bLog = true;
        } else if (TakeValue(argc, argv, &i, sArg, "--port", &pszValue)) {
            if (!ParseInt(pszValue, INT32_MIN, INT32_MAX, &n)) {
                *pMessage = "--port takes a whole number, as in COMn";
                return EParseResult::Usage;
            }
            pOptions->nPort = static_cast<std::int32_t>(n);
        } else if (TakeValue(argc, argv, &i, sArg, "--baud", &pszValue)) {
            if (!ParseInt(pszValue, 0, LONG_MAX, &n) || (n != 2400 && n != 9600)) {
                *pMessage = "--baud takes 2400 or 9600, as the controller's jumper does";
                return EParseResult::Usage;
            }
            pOptions->nBaud = static_cast<std::uint32_t>(n);
        } else if (TakeValue(argc, argv, &i, sArg, "--range", &pszValue)) {
            if (!ParseInt(pszValue, 0, LONG_MAX, &n) || (n != 90 && n != 180)) {
                *pMessage = "--range takes 90 or 180 (degrees)";
                return EParseResult::Usage;
            }
            pOptions->nRange = static_cast<int>(n);
        } else if (TakeValue(argc, argv, &i, sArg, "--id", &pszValue)) {
            if (!ParseInt(pszValue, 0, LONG_MAX, &n) || (n != 0 && n != 8)) {
                *pMessage = "--id takes 0 (servos 0-7) or 8 (servos 8-15)";
                return EParseResult::Usage;
            }
            pOptions->nFirstServo = static_cast<int>(n);
        } else {
            *pMessage = "unknown option " + sArg;
            return EParseResult::Usage;
        }
    }
    return EParseResult::Run;
}

int PlxRunSimulator(const CSimOptions& options) {
    CReportOut outBuffer(STDOUT_FILENO, &g_nEndSignal);
    std::ostream out(&outBuffer);
    std::ostream& err = std::cerr;
    if (!CatchSignals()) {
        err << "plx-ssc-sim: cannot catch signals: " << PlxFormatMessage(errno) << std::endl;
        return 1;
    }

    // The slave descriptor CPtyLine holds also lets the simulator lift a stale exclusive mark.
    CPtyLine line;
    std::string sError;
    CPortRegistration registration;
    bool bReplaced = false;
    if (!line.Open(&sError) ||
        (options.bMap && !registration.Register(PlxPortMapDirectory(), options.nPort, line.Device(),
                                                &bReplaced, &sError))) {
        err << "plx-ssc-sim: " << sError << std::endl;
        return 1;
    }

    const bool bPanel = !options.bJson && !options.bLog && PanelFits();
    CSimReport report(out, options.bJson);
    CServoBoard board(options.nFirstServo, options.nRange);
    CPanelHeader header;
    header.nBaud = options.nBaud;
    header.sWhere = (options.bMap ? "COM" + std::to_string(options.nPort) + " " : std::string()) +
                    line.Device();
    if (bPanel) {
        out << PLX_PANEL_ENTER;
    } else {
        report.Ready(line.Device(), options.nPort, registration.Entry(), bReplaced, options.nBaud,
                     options.nFirstServo, options.nRange);
    }

    CSscDecoder decoder(options.nFirstServo, options.nRange);
    // Reads the line settings, reporting them the first time and whenever they change.
    auto WatchLine = [&]() {
        termios tio;
        if (::tcgetattr(line.Master(), &tio) != 0) return false;
        const CLineSettings now = PlxReadLineSettings(tio);
        if (header.bLineKnown && now == header.line) return false;
        header.line = now;
        header.bLineKnown = true;
        header.sWhyNot = PlxWhyNotUnderstood(now, options.nBaud);
        if (!bPanel) report.Line(now);
        return true;
    };
    WatchLine();

    // The live view: redrawn as things happen, at most kFrameMs apart; the servo that moved
    // last stands out for kHighlightMs.
    using Clock = std::chrono::steady_clock;
    constexpr auto kFrameMs = std::chrono::milliseconds(33);
    constexpr auto kHighlightMs = std::chrono::milliseconds(400);
    Clock::time_point lastFrame;
    Clock::time_point lastMove;
    std::uint64_t nMovesSeen = 0;
    bool bDirty = true;
    auto Draw = [&]() {
        const Clock::time_point now = Clock::now();
        if (board.MoveCount() != nMovesSeen) {
            nMovesSeen = board.MoveCount();
            lastMove = now;
        }
        if (!bDirty || now - lastFrame < kFrameMs) return;
        winsize size = {};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
            size.ws_col = 80;
            size.ws_row = 24;
        }
        const bool bHighlight = nMovesSeen != 0 && now - lastMove < kHighlightMs;
        out << PlxPanelFrame(PlxRenderPanel(board, header, size.ws_col, size.ws_row, bHighlight));
        out.flush();
        lastFrame = now;
        // Once more when the highlight is due to go.
        bDirty = bHighlight;
    };

    int nStatus = 0;
    std::string sEndedBy = "end of input";
    std::vector<CSscEvent> events;
    for (;;) {
        if (g_nEndSignal != 0) {
            sEndedBy = SignalName(g_nEndSignal);
            break;
        }
        if (!out) {
            sEndedBy = "output gone: " + PlxFormatMessage(outBuffer.Error());
            nStatus = 1;
            break;
        }
        const bool bInput = InputEndsTheRun();
        pollfd fds[2] = {{line.Master(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        // Wakes up ten times a second to notice line settings changed while nothing is sent.
        const int nReady = ::poll(fds, bInput ? 2 : 1,
                                  bPanel && bDirty ? static_cast<int>(kFrameMs.count()) : 100);
        if (nReady < 0 && errno != EINTR) {
            sEndedBy = std::string("error: ") + PlxFormatMessage(errno);
            nStatus = 1;
            break;
        }
        if (WatchLine()) bDirty = true;
        LiftStaleExclusiveMark(line.Slave());
        if (g_nResized != 0) {
            g_nResized = 0;
            bDirty = true;
        }
        if (nReady > 0 && (fds[0].revents & POLLIN)) {
            std::uint8_t buf[4096];
            const ssize_t n = ::read(line.Master(), buf, sizeof(buf));
            if (n > 0) {
                events.clear();
                decoder.Feed(buf, static_cast<std::size_t>(n), &events);
                for (const CSscEvent& event : events) {
                    board.Take(event, header.sWhyNot);
                    if (!bPanel) report.Event(event, options.nFirstServo, header.sWhyNot);
                }
                bDirty = true;
            }
        }
        if (nReady > 0 && bInput && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
            char buf[256];
            const ssize_t n =
                (fds[1].revents & POLLNVAL) ? 0 : ::read(STDIN_FILENO, buf, sizeof(buf));
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EIO)) break;
        }
        if (bPanel) Draw();
    }

    // The entry goes first, whatever the output is doing.
    registration.Unregister();
    outBuffer.Ending();
    out.clear();
    if (bPanel) out << PLX_PANEL_LEAVE;
    report.Summary(board, sEndedBy);
    if (nStatus != 0) err << "plx-ssc-sim: " << sEndedBy << std::endl;
    return nStatus;
}

#include "sim/Simulator.h"

#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <vector>

#include "serial/CommApi.h"
#include "serial/PortMap.h"
#include "sim/LineWatch.h"
#include "sim/PortRegistration.h"
#include "sim/PtyLine.h"
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
    "line for each thing that happens on the line, until end of input or Ctrl+C.\n"
    "\n"
    "  --port N       register as COMn (default 1)\n"
    "  --no-map       do not register; only print the device path\n"
    "  --baud B       baud jumper: 2400 or 9600 (default 9600)\n"
    "  --range R      range jumper: 90 or 180 degrees (default 90)\n"
    "  --id I         identification jumper: 0 answers servos 0-7, 8 answers 8-15 (default 0)\n"
    "  --json         one JSON object per line instead of words\n"
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

// A program that held the line with TIOCEXCL and was killed cannot lift the mark, and on a
// pseudo-terminal it outlives the program, so nobody but root could open the port again. Once
// no program holds the port's lock any more, the mark is stale and goes.
void LiftStaleExclusiveMark(int slave) {
    int nExclusive = 0;
    if (::ioctl(slave, TIOCGEXCL, &nExclusive) != 0 || nExclusive == 0) return;
    if (::flock(slave, LOCK_EX | LOCK_NB) != 0) return;  // still held by its program
    ::ioctl(slave, TIOCNXCL);
    ::flock(slave, LOCK_UN);
}

int SignalDescriptor(sigset_t* pSignals) {
    sigemptyset(pSignals);
    sigaddset(pSignals, SIGINT);
    sigaddset(pSignals, SIGTERM);
    sigaddset(pSignals, SIGHUP);
    if (::sigprocmask(SIG_BLOCK, pSignals, nullptr) != 0) return -1;
    return ::signalfd(-1, pSignals, SFD_CLOEXEC);
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

int PlxRunSimulator(const CSimOptions& options, std::ostream& out, std::ostream& err) {
    // A reader that went away must not kill us before the port map entry is removed.
    sigset_t signals;
    const int sigfd = ::signal(SIGPIPE, SIG_IGN) == SIG_ERR ? -1 : SignalDescriptor(&signals);
    if (sigfd < 0) {
        err << "plx-ssc-sim: cannot watch for signals: " << PlxFormatMessage(errno) << std::endl;
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
        ::close(sigfd);
        return 1;
    }

    CSimReport report(out, options.bJson);
    report.Ready(line.Device(), options.nPort, registration.Entry(), bReplaced, options.nBaud,
                 options.nFirstServo, options.nRange);

    CSscDecoder decoder(options.nFirstServo, options.nRange);
    CLineSettings settings;
    bool bSettingsKnown = false;
    // Reads the line settings, reporting them the first time and whenever they change.
    auto WatchLine = [&]() {
        termios tio;
        if (::tcgetattr(line.Master(), &tio) != 0) return;
        const CLineSettings now = PlxReadLineSettings(tio);
        if (!bSettingsKnown || now != settings) {
            settings = now;
            bSettingsKnown = true;
            report.Line(settings);
        }
    };
    WatchLine();

    std::string sEndedBy = "end of input";
    std::vector<CSscEvent> events;
    for (;;) {
        pollfd fds[3] = {{line.Master(), POLLIN, 0}, {sigfd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        // Wakes up ten times a second to notice line settings changed while nothing is sent.
        const int nReady = ::poll(fds, 3, 100);
        if (nReady < 0 && errno != EINTR) {
            sEndedBy = std::string("error: ") + PlxFormatMessage(errno);
            break;
        }
        WatchLine();
        LiftStaleExclusiveMark(line.Slave());
        if (nReady <= 0) continue;

        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info;
            if (::read(sigfd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
                sEndedBy = info.ssi_signo == SIGINT    ? "SIGINT"
                           : info.ssi_signo == SIGTERM ? "SIGTERM"
                                                       : "SIGHUP";
                break;
            }
        }
        if (fds[0].revents & POLLIN) {
            std::uint8_t buf[4096];
            const ssize_t n = ::read(line.Master(), buf, sizeof(buf));
            if (n > 0) {
                const std::string sWhyNot = PlxWhyNotUnderstood(settings, options.nBaud);
                events.clear();
                decoder.Feed(buf, static_cast<std::size_t>(n), &events);
                for (const CSscEvent& event : events)
                    report.Event(event, options.nFirstServo, sWhyNot);
            }
        }
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            char buf[256];
            const ssize_t n =
                (fds[2].revents & POLLNVAL) ? 0 : ::read(STDIN_FILENO, buf, sizeof(buf));
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) break;
        }
    }
    report.Summary(decoder, sEndedBy);
    ::close(sigfd);
    ::sigprocmask(SIG_UNBLOCK, &signals, nullptr);
    return 0;
}

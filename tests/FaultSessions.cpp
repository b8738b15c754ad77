#include "tests/FaultSessions.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "serial/PortMap.h"

const char* const kServoInput = "1\n0 100\n3 200\n1 255\n";
const std::vector<std::vector<std::uint8_t>> kServoPackets = {
    {0xFF, 0x00, 0x64}, {0xFF, 0x03, 0xC8}, {0xFF, 0x01, 0xFF}};

namespace {

using namespace std::chrono_literals;

// Bounds against hangs only: a run under strace takes well under a second to each of these
// points; one still short of it at the bound is stuck.
constexpr auto kServoEnd = 15s;
constexpr auto kSimRegistered = 20s;
constexpr auto kSimMoves = 10s;
constexpr auto kSimEnd = 20s;

// The simulator's packets: 254, not 255, for the last position, which would be a sync byte;
// and the line each move is logged with.
const std::uint8_t kSimPackets[] = {0xFF, 0x00, 0x64, 0xFF, 0x03, 0xC8, 0xFF, 0x01, 0xFE};
const char* const kSimMovesShown[] = {"move     servo 0 to 100 (", "move     servo 3 to 200 (",
                                      "move     servo 1 to 254 ("};
// The rows of the trace the moves begin, by servo and position.
const char* const kSimRows[][2] = {{"0", "100"}, {"3", "200"}, {"1", "254"}};

// Calls whose failure the C library answers with abort(): memory refused (malloc, a thread's
// stack).
const std::set<std::string> kLibraryAborts = {"mmap", "munmap",  "mprotect",
                                              "brk",  "madvise", "mremap"};

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char sz[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(sz, sizeof(sz), "%02X ", b);
        s += sz;
    }
    if (!s.empty()) s.pop_back();
    return s.empty() ? "nothing" : s;
}

bool InterruptedReadOrWrite(const CInjection& injection) {
    return injection.sError == "EINTR" && (injection.sCall == "read" || injection.sCall == "write");
}

// How a run ended, in words; false when it did not end by exit().
bool Exited(bool bEnded, int nStatus, std::string* pHow) {
    if (!bEnded) {
        *pHow = "no end by the bound";
        return false;
    }
    if (WIFSIGNALED(nStatus)) {
        const char* pszName = ::sigabbrev_np(WTERMSIG(nStatus));
        *pHow = std::string("killed by SIG") + (pszName != nullptr ? pszName : "?");
        return false;
    }
    *pHow = "status " + std::to_string(WEXITSTATUS(nStatus));
    return true;
}

// A death that is no breach: the C library aborting; or, for brk, crashing, since the kernel's
// brk never fails with an error (it gives back the old break) and the C library takes the error
// it is handed instead as the new break.
bool LibraryAbort(bool bEnded, int nStatus, const CInjection& injection) {
    if (!bEnded || !WIFSIGNALED(nStatus) || kLibraryAborts.count(injection.sCall) == 0)
        return false;
    return WTERMSIG(nStatus) == SIGABRT ||
           (injection.sCall == "brk" && WTERMSIG(nStatus) == SIGSEGV);
}

// The run's own folder: where the program runs, its port map, its files. The path as the kernel
// gives it back, so that the program's calls name it the same way.
class CRunFolder {
public:
    CRunFolder() {
        char szReal[PATH_MAX];
        m_sPath = ::realpath(m_dir.Path().c_str(), szReal) != nullptr ? szReal : m_dir.Path();
        std::filesystem::create_directories(PortMap());
    }
    const std::string& Path() const { return m_sPath; }
    std::string PortMap() const { return m_sPath + "/plx/ports"; }
    std::string Entry() const { return PortMap() + "/com1"; }
    // The sweep's own environment, with the port map in this folder and messages in English.
    std::vector<std::string> Environment() const {
        std::vector<std::string> env;
        for (char** p = environ; *p != nullptr; ++p) {
            const std::string s = *p;
            if (s.rfind("XDG_CONFIG_HOME=", 0) != 0 && s.rfind("LC_", 0) != 0 &&
                s.rfind("LANG", 0) != 0)
                env.push_back(s);
        }
        env.push_back("XDG_CONFIG_HOME=" + m_sPath);
        env.push_back("LC_ALL=C");
        return env;
    }
    // Text of the run with what differs from run to run taken out: this folder, the pty's number.
    std::string Plain(const std::string& sText) const {
        std::string s = sText;
        for (std::size_t at; (at = s.find(m_sPath)) != std::string::npos;)
            s.replace(at, m_sPath.size(), "$DIR");
        return std::regex_replace(s, std::regex("/dev/pts/[0-9]+"), "/dev/pts/N");
    }

private:
    CTempDir m_dir;
    std::string m_sPath;
};

// The first device the fence kept the program from, or "": the trace still shows that it was tried.
// A folder or a mere handle on a path (O_DIRECTORY, O_PATH) reaches no device, and is let through.
std::string FellTo(const CTrace& trace) {
    static const std::set<std::string> kOpens = {"open", "openat", "openat2", "creat"};
    for (const CTracedCall& call : trace.calls) {
        const std::size_t nQuote = call.sText.find('"');
        if (kOpens.count(call.sName) == 0 || nQuote == std::string::npos) continue;
        const std::size_t nEnd = call.sText.find('"', nQuote + 1);
        const std::string sPath = call.sText.substr(nQuote + 1, nEnd - nQuote - 1);
        const std::string sRest = nEnd == std::string::npos ? "" : call.sText.substr(nEnd);
        if (!FenceLetsThrough(sPath) && sRest.find("O_DIRECTORY") == std::string::npos &&
            sRest.find("O_PATH") == std::string::npos)
            return sPath;
    }
    return "";
}

// The reason in the warning box, or the line that says what failed, for the report.
std::string ServoTold(const std::string& sOut, const std::string& sErr) {
    std::string sTold;
    std::istringstream lines(sErr);
    bool bReasonNext = false;
    for (std::string sLine; std::getline(lines, sLine);) {
        if (bReasonNext) {
            const std::size_t nFirst = sLine.find_first_not_of("| ");
            if (nFirst == std::string::npos) continue;
            sTold +=
                "box: " + sLine.substr(nFirst, sLine.find_last_not_of("| ") + 1 - nFirst) + "; ";
            bReasonNext = false;
        }
        if (sLine.find("communication port") != std::string::npos &&
            sLine.find("attempting") == std::string::npos)
            bReasonNext = true;
        if (sLine.find("Unable to") != std::string::npos ||
            sLine.find("Fatal") != std::string::npos)
            sTold += sLine + "; ";
    }
    if (sOut.find("Unable to open communications port.") != std::string::npos)
        sTold += "Unable to open communications port.; ";
    return sTold.empty() ? "nothing told" : sTold.substr(0, sTold.size() - 2);
}

bool ServoToldFailure(const std::string& sOut, const std::string& sErr) {
    return sErr.find("Unable to ") != std::string::npos ||
           sErr.find("Windows Communications Error") != std::string::npos ||
           sErr.find("Fatal Error: MFC initialization failed") != std::string::npos ||
           sOut.find("Unable to open communications port.") != std::string::npos;
}

class CServoTestSession : public CFaultSession {
public:
    explicit CServoTestSession(EServoPort port) : m_port(port) {}

    std::string Name() const override {
        switch (m_port) {
            case EServoPort::Sending:
                return "plx-ssc-test sending packets";
            case EServoPort::Refused:
                return "plx-ssc-test on a refused port";
            case EServoPort::Missing:
                return "plx-ssc-test on a port not there";
            case EServoPort::Busy:
                return "plx-ssc-test on a busy port";
        }
        return std::string();
    }
    std::string Program() const override { return PLX_SSC_TEST_EXE; }
    std::vector<std::string> Args(const std::string&) const override { return {}; }
    std::string Setting() const override {
        const std::string sInput = "printf '1\\n0 100\\n3 200\\n1 255\\n' | ";
        switch (m_port) {
            case EServoPort::Sending:
                return "DIR=$(mktemp -d); export XDG_CONFIG_HOME=\"$DIR\"; plx-ssc-sim --port 1 "
                       "--log & (or any pty linked as \"$DIR\"/plx/ports/com1); " +
                       sInput;
            case EServoPort::Refused:
                return "DIR=$(mktemp -d); export XDG_CONFIG_HOME=\"$DIR\"; mkdir -p "
                       "\"$DIR\"/plx/ports; : >\"$DIR\"/file; ln -s \"$DIR\"/file "
                       "\"$DIR\"/plx/ports/com1; " +
                       sInput;
            case EServoPort::Missing:
                return "DIR=$(mktemp -d); export XDG_CONFIG_HOME=\"$DIR\"; mkdir -p "
                       "\"$DIR\"/plx/ports; ln -s \"$DIR\"/nothing \"$DIR\"/plx/ports/com1; " +
                       sInput;
            case EServoPort::Busy:
                return "as for sending, the pty marked TIOCEXCL by another program; " + sInput;
        }
        return std::string();
    }

    CVerdict Run(const CInjection& injection) override {
        CRunFolder folder;
        CPseudoTerminal pty;
        termios held = {};
        if (m_port == EServoPort::Refused) {
            const std::string sFile = folder.Path() + "/file";
            std::ofstream(sFile) << "not a port\n";
            ::symlink(sFile.c_str(), folder.Entry().c_str());
        } else if (m_port == EServoPort::Missing) {
            ::symlink((folder.Path() + "/nothing").c_str(), folder.Entry().c_str());
        } else {
            ::symlink(pty.SlavePath().c_str(), folder.Entry().c_str());
        }
        if (m_port == EServoPort::Busy) {
            // Another program's line: 2400 7E1, marked for its own use as GNU screen marks it,
            // which root gets past: the program must see the mark itself.
            ::tcgetattr(pty.Slave(), &held);
            held.c_cflag = (held.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
            ::cfsetspeed(&held, B2400);
            ::tcsetattr(pty.Slave(), TCSANOW, &held);
            ::tcgetattr(pty.Slave(), &held);
            ::ioctl(pty.Slave(), TIOCEXCL);
        }
        const std::string sTraceFile = folder.Path() + "/strace.out";
        std::vector<std::string> command =
            StraceCommand(injection, folder.Path(), sTraceFile, true);
        command.push_back(Program());
        CServoOutcome outcome;
        {
            CTracedRun run(command, folder.Environment(), folder.Path(), kServoInput, true);
            outcome.bEnded = run.WaitForEnd(kServoEnd);
            run.Kill();
            outcome.nStatus = run.Status();
            outcome.sOut = folder.Plain(run.Out());
            outcome.sErr = folder.Plain(run.Err());
        }
        if (m_port == EServoPort::Sending || m_port == EServoPort::Busy) {
            outcome.wire = pty.Written();
            int nExclusive = 0;
            outcome.bMarked = ::ioctl(pty.Slave(), TIOCGEXCL, &nExclusive) == 0 && nExclusive != 0;
        }
        if (m_port == EServoPort::Busy) {
            termios now = {};
            ::tcgetattr(pty.Slave(), &now);
            outcome.bLineKept = now.c_cflag == held.c_cflag && now.c_iflag == held.c_iflag &&
                                now.c_oflag == held.c_oflag && now.c_lflag == held.c_lflag &&
                                cfgetospeed(&now) == cfgetospeed(&held);
        }
        CVerdict verdict;
        verdict.trace = ParseTrace(ReadFileText(sTraceFile));
        outcome.sFellTo = FellTo(verdict.trace);
        verdict.breaches =
            JudgeServoTest(m_port, outcome, injection, injection.Clean() ? nullptr : &m_clean,
                           &verdict.bLibraryAbort);
        std::string sHow;
        Exited(outcome.bEnded, outcome.nStatus, &sHow);
        verdict.sWhat = sHow + ", " + ServoTold(outcome.sOut, outcome.sErr);
        if (m_port == EServoPort::Sending || m_port == EServoPort::Busy)
            verdict.sWhat += ", wire: " + Hex(outcome.wire);
        if (injection.Clean()) m_clean = outcome;
        return verdict;
    }

private:
    EServoPort m_port;
    CServoOutcome m_clean;
};

// Whether a trace holds the header and a whole row at the start of each move, and only whole
// rows.
bool TraceWhole(const std::string& sTrace, std::string* pWhy) {
    if (sTrace.rfind("t,servo,commanded,pulse_us,angle_deg\n", 0) != 0) {
        *pWhy = "the trace has no header";
        return false;
    }
    if (sTrace.back() != '\n') {
        *pWhy = "the trace ends in a cut row";
        return false;
    }
    std::istringstream rows(sTrace);
    std::string sRow;
    std::getline(rows, sRow);
    std::set<std::pair<std::string, std::string>> begun;
    while (std::getline(rows, sRow)) {
        std::vector<std::string> fields;
        std::istringstream cells(sRow);
        for (std::string sCell; std::getline(cells, sCell, ',');) fields.push_back(sCell);
        if (fields.size() != 5) {
            *pWhy = "a row of the trace is not whole: " + sRow;
            return false;
        }
        begun.insert({fields[1], fields[2]});
    }
    for (const auto& row : kSimRows) {
        if (begun.count({row[0], row[1]}) == 0) {
            *pWhy = std::string("the trace has no row for servo ") + row[0] + " at " + row[1];
            return false;
        }
    }
    return true;
}

// The device the entry names, when it is a pseudo-terminal's: nothing else is ever opened.
bool PseudoTerminalEntry(const std::string& sEntry, std::string* pDevice) {
    struct stat st;
    if (::lstat(sEntry.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    const std::string sTarget = PlxLinkTarget(sEntry);
    if (sTarget.rfind("/dev/pts/", 0) != 0 || sTarget.find("/..") != std::string::npos ||
        ::stat(sTarget.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    *pDevice = sTarget;
    return true;
}

// As plx-ssc-test sets it up: 9600 8N1, raw.
int OpenLine(const std::string& sDevice) {
    const int fd = ::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios tio = {};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS)) |
                      CS8 | CLOCAL | CREAD;
        ::cfsetspeed(&tio, B9600);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

class CSimulatorSession : public CFaultSession {
public:
    std::string Name() const override { return "plx-ssc-sim taking packets"; }
    std::string Program() const override { return PLX_SSC_SIM_EXE; }
    std::vector<std::string> Args(const std::string& sDir) const override {
        return {"--port",          "1", "--log", "--trace", sDir + "/trace.csv", "--plot",
                sDir + "/plot.svg"};
    }
    std::vector<std::string> Files() const override { return {"trace.csv", "plot.svg"}; }
    std::string Setting() const override {
        return "DIR=$(mktemp -d); export XDG_CONFIG_HOME=\"$DIR\"; then, once it stands as "
               "COM1: printf '1\\n0 100\\n3 200\\n1 254\\n' | plx-ssc-test; kill -TERM "
               "<plx-ssc-sim's pid>";
    }

    CVerdict Run(const CInjection& injection) override {
        CRunFolder folder;
        const std::string sTraceFile = folder.Path() + "/strace.out";
        std::vector<std::string> command =
            StraceCommand(injection, folder.Path(), sTraceFile, false);
        command.push_back(Program());
        for (const std::string& sArg : Args(folder.Path())) command.push_back(sArg);
        CSimOutcome outcome;
        {
            // Its input stays open: only the signal ends it.
            CTracedRun run(command, folder.Environment(), folder.Path(), std::string(), false);
            std::string sDevice;
            outcome.bRegistered = run.WaitFor(
                [&] { return PseudoTerminalEntry(folder.Entry(), &sDevice); }, kSimRegistered);
            if (outcome.bRegistered) {
                // One packet at a time, each taken before the next: the simulator goes round its
                // loop between them, as it does for a person typing.
                const CFd line(OpenLine(sDevice));
                for (std::size_t i = 0; i < 3 && line.Get() >= 0 && !run.Ended(); ++i) {
                    if (::write(line.Get(), kSimPackets + 3 * i, 3) != 3) break;
                    const std::string sMove = kSimMovesShown[i];
                    run.WaitFor([&] { return run.Out().find(sMove) != std::string::npos; },
                                kSimMoves);
                }
            }
            if (!run.Ended()) {
                outcome.bSignalled = outcome.bRegistered;
                if (outcome.bRegistered) run.SignalProgram(SIGTERM);
            }
            outcome.bEnded = outcome.bRegistered ? run.WaitForEnd(kSimEnd) : run.Ended();
            run.Kill();
            outcome.nStatus = run.Status();
            outcome.sOut = folder.Plain(run.Out());
            outcome.sErr = folder.Plain(run.Err());
        }
        outcome.sTrace = ReadFileText(folder.Path() + "/trace.csv");
        outcome.sSvg = ReadFileText(folder.Path() + "/plot.svg");
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder.PortMap(), ec))
            outcome.left.push_back("$DIR/plx/ports/" + entry.path().filename().string());
        CVerdict verdict;
        verdict.trace = ParseTrace(ReadFileText(sTraceFile));
        verdict.breaches = JudgeSimulator(outcome, injection, &verdict.bLibraryAbort);
        std::string sHow;
        Exited(outcome.bEnded, outcome.nStatus, &sHow);
        verdict.sWhat = sHow;
        if (!outcome.bRegistered) verdict.sWhat += ", never stood as COM1";
        std::size_t nShown = 0;
        for (const char* psz : kSimMovesShown) nShown += Occurrences(outcome.sOut, psz);
        verdict.sWhat += ", " + std::to_string(nShown) + " of 3 moves logged";
        std::istringstream err(outcome.sErr);
        for (std::string sLine; std::getline(err, sLine);) verdict.sWhat += ", told: " + sLine;
        for (const std::string& sLeft : outcome.left) verdict.sWhat += ", left " + sLeft;
        return verdict;
    }
};

// How a run ended, judged alike for both programs: a hang (sHang says what it was doing), a crash
// other than the C library's abort. The exit status, or -1 when it did not exit.
struct CEnding {
    bool bExited = false;
    int nStatus = -1;
    std::string sHow;
};
CEnding JudgeEnding(bool bEnded, int nRawStatus, const CInjection& injection,
                    const std::string& sHang, std::vector<std::string>* pBreaches,
                    bool* pLibraryAbort) {
    *pLibraryAbort = LibraryAbort(bEnded, nRawStatus, injection);
    CEnding ending;
    ending.bExited = Exited(bEnded, nRawStatus, &ending.sHow);
    if (ending.bExited) ending.nStatus = WEXITSTATUS(nRawStatus);
    if (!bEnded) pBreaches->push_back(sHang);
    if (!ending.bExited && bEnded && !*pLibraryAbort)
        pBreaches->push_back("a crash: " + ending.sHow);
    return ending;
}

// What either program's status says: 0 with nothing on standard error, 1 with something told
// there, and no other status of its own.
void JudgeStatus(int nStatus, bool bTold, bool bExited, const std::string& sHow,
                 const std::string& sErr, std::vector<std::string>* pBreaches) {
    if (nStatus == 0 && !sErr.empty())
        pBreaches->push_back("status 0, though standard error says: " +
                             sErr.substr(0, sErr.find('\n')));
    else if (nStatus == 1 && !bTold)
        pBreaches->push_back("status 1 with nothing told");
    else if (bExited && nStatus != 0 && nStatus != 1)
        pBreaches->push_back("an exit status its manual does not give: " + sHow);
}

}  // namespace

std::vector<std::string> JudgeServoTest(EServoPort port, const CServoOutcome& outcome,
                                        const CInjection& injection, const CServoOutcome* pClean,
                                        bool* pLibraryAbort) {
    std::vector<std::string> breaches;
    const auto [bExited, nStatus, sHow] = JudgeEnding(
        outcome.bEnded, outcome.nStatus, injection,
        "a hang: it had not ended by the bound, and was killed", &breaches, pLibraryAbort);
    // The run every other one is measured against comes to the session's own end, or the sweep
    // would sweep a session that failed before it began (a fence too tight, a folder not made).
    const int nCleanStatus = port == EServoPort::Sending ? 0 : 1;
    if (injection.Clean() && nStatus != nCleanStatus)
        breaches.push_back("the clean run came to " + sHow + ", not status " +
                           std::to_string(nCleanStatus));
    const bool bTold = ServoToldFailure(outcome.sOut, outcome.sErr);
    if (nStatus == 0) {
        if (port != EServoPort::Sending)
            breaches.push_back("status 0, though the port cannot be had");
        else if (outcome.wire.size() != 9)
            breaches.push_back("status 0 without every packet sent");
        if (pClean != nullptr && outcome.sOut != pClean->sOut)
            breaches.push_back("status 0 with standard output not as written");
    }
    JudgeStatus(nStatus, bTold, bExited, sHow, outcome.sErr, &breaches);
    // On the wire: whole packets in the order typed, each at most once; nothing on a busy port.
    std::size_t nNext = 0;
    bool bWhole = outcome.wire.size() % 3 == 0;
    for (std::size_t at = 0; bWhole && at < outcome.wire.size(); at += 3) {
        const std::vector<std::uint8_t> packet(outcome.wire.begin() + at,
                                               outcome.wire.begin() + at + 3);
        while (nNext < kServoPackets.size() && kServoPackets[nNext] != packet) ++nNext;
        bWhole = nNext++ < kServoPackets.size();
    }
    if (!bWhole) breaches.push_back("a packet cut, or sent twice: " + Hex(outcome.wire));
    if (port == EServoPort::Busy && !outcome.wire.empty())
        breaches.push_back("bytes sent to a port another program holds");
    if (!outcome.bLineKept) breaches.push_back("the holder's line settings changed");
    if (port == EServoPort::Busy && !outcome.bMarked)
        breaches.push_back("the holder's exclusive mark lifted");
    if (port != EServoPort::Busy && outcome.bMarked &&
        outcome.sErr.find("Unable to release COM1: ") == std::string::npos)
        breaches.push_back("the port left marked exclusive, untold");
    if (!outcome.sFellTo.empty())
        breaches.push_back("it tried to open " + outcome.sFellTo +
                           ", one of the machine's own devices (the fence refused it)");
    if (pClean != nullptr && InterruptedReadOrWrite(injection) &&
        (outcome.nStatus != pClean->nStatus || outcome.sOut != pClean->sOut ||
         outcome.sErr != pClean->sErr || outcome.wire != pClean->wire))
        breaches.push_back("an interrupted " + injection.sCall +
                           " not retried: the session did not come to what it comes to without "
                           "the interruption");
    return breaches;
}

std::vector<std::string> JudgeSimulator(const CSimOutcome& outcome, const CInjection& injection,
                                        bool* pLibraryAbort) {
    std::vector<std::string> breaches;
    const auto [bExited, nStatus, sHow] = JudgeEnding(
        outcome.bEnded, outcome.nStatus, injection,
        outcome.bRegistered ? "a hang: SIGTERM did not end it by the bound, and it was killed"
                            : "a hang: it neither stood as COM1 nor ended by the bound",
        &breaches, pLibraryAbort);
    if (injection.Clean() && nStatus != 0)
        breaches.push_back("the clean run came to " + sHow + ", not status 0");
    const bool bTold = outcome.sErr.find("plx-ssc-sim: ") != std::string::npos;
    for (const char* psz : kSimMovesShown) {
        if (Occurrences(outcome.sOut, psz) > 1)
            breaches.push_back(std::string("a packet taken twice: ") + psz);
    }
    // A packet sent on a line set up rightly, judged as on another line.
    const bool bMisjudged = outcome.sOut.find("[not understood") != std::string::npos;
    if (nStatus == 0) {
        std::string sWhy;
        for (const char* psz : kSimMovesShown) {
            if (Occurrences(outcome.sOut, psz) != 1)
                breaches.push_back(std::string("status 0, though its log does not show once: ") +
                                   psz);
        }
        if (outcome.sOut.find("dropped") != std::string::npos)
            breaches.push_back("status 0, though its log dropped a packet");
        if (bMisjudged)
            breaches.push_back("status 0, though its log says a packet was not understood");
        if (outcome.bSignalled && outcome.sOut.find("ended by SIGTERM") == std::string::npos)
            breaches.push_back("status 0, though its log does not say SIGTERM ended it");
        if (!outcome.bSignalled)
            breaches.push_back("status 0 before it was ended, its input still open");
        if (!TraceWhole(outcome.sTrace, &sWhy)) breaches.push_back("status 0, though " + sWhy);
        const std::string kEnd = "</svg>\n";
        if (outcome.sSvg.size() < kEnd.size() ||
            outcome.sSvg.compare(outcome.sSvg.size() - kEnd.size(), kEnd.size(), kEnd) != 0)
            breaches.push_back("status 0, though the plot is not a whole SVG");
    }
    JudgeStatus(nStatus, bTold, bExited, sHow, outcome.sErr, &breaches);
    // An abort ends it where it stands: what it left then is the abort's, told with it.
    for (const std::string& sLeft : outcome.left) {
        // Told: a line of standard error names it.
        if (outcome.bEnded && !*pLibraryAbort &&
            outcome.sErr.find(" " + sLeft) == std::string::npos)
            breaches.push_back("left in the port map, untold: " + sLeft);
    }
    if (InterruptedReadOrWrite(injection) && nStatus != 0)
        breaches.push_back("an interrupted " + injection.sCall +
                           " not retried: the session did not end with status 0");
    return breaches;
}

std::unique_ptr<CFaultSession> MakeServoTestSession(EServoPort port) {
    return std::make_unique<CServoTestSession>(port);
}

std::unique_ptr<CFaultSession> MakeSimulatorSession() {
    return std::make_unique<CSimulatorSession>();
}

#include "tests/FaultSweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

namespace {

using Clock = std::chrono::steady_clock;

// Calls whose failure only the C library can answer for, not the program: ending the process or
// a thread (glibc halts when exit_group comes back), returning from a signal handler, and the
// futexes under its locks and condition variables (an error the kernel never gives there is an
// abort, or a wake-up lost and a thread waiting for ever).
const std::set<std::string> kNotFailed = {"exit", "exit_group", "rt_sigreturn", "restart_syscall",
                                          "futex"};
// Calls that also fail with EINTR, as a signal makes them.
const std::set<std::string> kInterruptible = {"read", "write",  "poll", "ppoll",
                                              "open", "openat", "ioctl"};
// A site made more often than this has a spread of its calls failed: the first three, the last
// three, and six evenly between.
constexpr std::size_t kEveryCallUpTo = 20;
// How often a case is run again when it hit another call than the one aimed at (calls shift
// where the program reads /proc, whose processes come and go, or waits on a clock).
constexpr int kRetargets = 2;

bool StartsWith(const std::string& s, const std::string& sPrefix) {
    return s.compare(0, sPrefix.size(), sPrefix) == 0;
}

std::string BaseName(const std::string& sPath) { return sPath.substr(sPath.rfind('/') + 1); }

// "module(function+offset) [offset]": the module, and the function without its parameters.
void SplitFrame(const std::string& sFrame, std::string* pModule, std::string* pFunction,
                std::string* pOffset) {
    const std::size_t nOpen = sFrame.find('(');
    const std::size_t nBracket = sFrame.rfind(" [");
    *pModule = BaseName(sFrame.substr(0, std::min(nOpen, nBracket)));
    *pOffset = nBracket == std::string::npos ? sFrame : sFrame.substr(nBracket + 1);
    pFunction->clear();
    if (nOpen == std::string::npos || nBracket == std::string::npos || nBracket < nOpen) return;
    std::string sInner = sFrame.substr(nOpen + 1, nBracket - nOpen - 2);
    sInner = sInner.substr(0, sInner.rfind("+0x"));
    // The parameters: from the ')' at the end back to its '('.
    if (!sInner.empty() && sInner.back() == ')') {
        int nDepth = 0;
        for (std::size_t i = sInner.size(); i-- > 0;) {
            nDepth += sInner[i] == ')' ? 1 : sInner[i] == '(' ? -1 : 0;
            if (nDepth == 0) {
                sInner.erase(i);
                break;
            }
        }
    }
    const std::string kAnonymous = "(anonymous namespace)::";
    for (std::size_t n; (n = sInner.find(kAnonymous)) != std::string::npos;)
        sInner.erase(n, kAnonymous.size());
    *pFunction = sInner;
}

bool MadeInMain(const CTracedCall& call) {
    return std::any_of(call.frames.begin(), call.frames.end(), [](const std::string& sFrame) {
        return sFrame.find("(main+0x") != std::string::npos;
    });
}

// A call of the clean run that a case aims at.
struct CAim {
    CInjection injection;
    std::string sSite;
    std::string sShape;
    int nOrdinal = 0;  // the how-manieth call of main's thread of that shape
    bool bMain = false;
    bool bOneOfMany = false;  // from a site made so often that any of its calls will do
};

struct CPlan {
    std::vector<CAim> aims;
    std::map<std::string, int> preMain;  // main's thread's calls of each kind before main
};

// A spread of n calls, by their place among them.
std::vector<std::size_t> Spread(std::size_t n) {
    std::vector<std::size_t> picked;
    if (n <= kEveryCallUpTo) {
        for (std::size_t i = 0; i < n; ++i) picked.push_back(i);
        return picked;
    }
    picked = {0, 1, 2};
    for (std::size_t i = 1; i <= 6; ++i) picked.push_back(i * n / 7);
    picked.insert(picked.end(), {n - 3, n - 2, n - 1});
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    return picked;
}

// files: the names of the run's own files, in its folder, whose calls are counted among their
// own.
CPlan Plan(const CTrace& trace, const std::vector<std::string>& files, CSweepReport* pReport) {
    CPlan plan;
    std::map<pid_t, std::map<std::string, int>> counted;  // each thread's calls of each kind
    std::map<std::tuple<pid_t, std::string, std::string>, int> onPath;
    std::map<std::string, int> ofShape;  // main's thread's calls of each shape so far
    std::vector<pid_t> threads;          // main's first, the others as they first appear
    // By thread, kind and site: the calls a case may aim at.
    std::map<std::tuple<std::size_t, std::string, std::string>, std::vector<CAim>> groups;
    bool bAfterMain = false;
    for (const CTracedCall& call : trace.calls) {
        const int nIndex = ++counted[call.nTid][call.sName];
        const bool bMain = call.nTid == trace.nMain;
        const std::string sShape = ShapeOf(call);
        const int nOfShape = bMain ? ++ofShape[sShape] : 0;
        if (bMain && !bAfterMain && !MadeInMain(call)) {
            ++plan.preMain[call.sName];
            continue;
        }
        if (bMain) bAfterMain = true;
        if (!bAfterMain) continue;  // a thread of the loader's, if any
        if (std::find(threads.begin(), threads.end(), call.nTid) == threads.end())
            threads.push_back(call.nTid);
        ++pReport->counts[call.sName].nCalls;
        if (kNotFailed.count(call.sName) != 0) {
            ++pReport->counts[call.sName].nLeftOut;
            continue;
        }
        CAim aim;
        aim.sSite = SiteOf(call);
        aim.sShape = sShape;
        aim.nOrdinal = nOfShape;
        aim.bMain = bMain;
        aim.injection.sCall = call.sName;
        aim.injection.nWhen = nIndex;
        for (const std::string& sFile : files) {
            if (bMain || call.sText.find("/" + sFile) == std::string::npos) continue;
            aim.injection.sPath = sFile;
            aim.injection.nWhen = ++onPath[{call.nTid, call.sName, sFile}];
            break;
        }
        const std::size_t nThread =
            std::find(threads.begin(), threads.end(), call.nTid) - threads.begin();
        groups[{nThread, call.sName, aim.sSite}].push_back(aim);
    }
    std::set<std::tuple<std::string, int, std::string>> planned;
    for (auto& [key, calls] : groups) {
        for (std::size_t i : Spread(calls.size())) {
            CAim& aim = calls[i];
            aim.bOneOfMany = calls.size() > kEveryCallUpTo;
            const CInjection& injection = aim.injection;
            // Another thread's call that only a call of the loader's shares a number with
            // cannot be failed alone.
            if (!aim.bMain && injection.sPath.empty() &&
                injection.nWhen <= plan.preMain[injection.sCall]) {
                ++pReport->counts[injection.sCall].nLeftOut;
                continue;
            }
            if (planned.insert({injection.sCall, injection.nWhen, injection.sPath}).second)
                plan.aims.push_back(aim);
        }
    }
    std::sort(plan.aims.begin(), plan.aims.end(), [](const CAim& a, const CAim& b) {
        return std::tie(a.injection.sCall, a.injection.sPath, a.injection.nWhen) <
               std::tie(b.injection.sCall, b.injection.sPath, b.injection.nWhen);
    });
    return plan;
}

// The calls strace failed in a run, each with where it was made.
std::vector<const CTracedCall*> Injected(const CTrace& trace) {
    std::vector<const CTracedCall*> injected;
    for (const CTracedCall& call : trace.calls)
        if (call.bInjected) injected.push_back(&call);
    return injected;
}

// Where the case should aim next to fail the call it aimed at: -1 when it failed that call, 0
// when that cannot be told. Calls are known again by their shape and how many of that shape came
// before them, the runs having no stacks.
int Retarget(const CAim& aim, int nWhen, const CTrace& run, const CTrace& clean) {
    const CTracedCall* pHit = nullptr;
    for (const CTracedCall* pCall : Injected(run))
        if (pCall->nTid == run.nMain) pHit = pCall;
    if (pHit == nullptr) return 0;
    const std::string sHitShape = ShapeOf(*pHit);
    if (aim.bOneOfMany && sHitShape == aim.sShape) return -1;
    // Where the aimed-at call came in this run, if it came before the run went another way; and
    // the one hit.
    int nIndex = 0;
    int nOrdinal = 0;
    int nHitOrdinal = 0;
    for (const CTracedCall& call : run.calls) {
        if (call.nTid != run.nMain || call.sName != aim.injection.sCall) continue;
        ++nIndex;
        const std::string sShape = ShapeOf(call);
        if (sShape == aim.sShape && ++nOrdinal == aim.nOrdinal) return &call == pHit ? -1 : nIndex;
        if (sShape == sHitShape) ++nHitOrdinal;
        if (&call == pHit) break;
    }
    // Otherwise as far on as this run had drifted from the clean one at the call it hit.
    nIndex = 0;
    nOrdinal = 0;
    for (const CTracedCall& call : clean.calls) {
        if (call.nTid != clean.nMain || call.sName != aim.injection.sCall) continue;
        ++nIndex;
        if (ShapeOf(call) == sHitShape && ++nOrdinal == nHitOrdinal) {
            const int nNext = nWhen + (nWhen - nIndex);
            return nNext > 0 && nNext != nWhen ? nNext : 0;
        }
    }
    return 0;
}

std::string OneLine(std::string s) {
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s;
}

std::string FindStrace() {
    const char* pszPath = std::getenv("PATH");
    std::istringstream dirs(pszPath != nullptr ? pszPath : "/usr/bin:/bin");
    for (std::string sDir; std::getline(dirs, sDir, ':');) {
        const std::string sExe = (sDir.empty() ? "." : sDir) + "/strace";
        if (::access(sExe.c_str(), X_OK) == 0) return sExe;
    }
    return "strace";
}

}  // namespace

CTrace ParseTrace(const std::string& sText) {
    CTrace trace;
    std::map<pid_t, std::size_t> pending;   // each thread's call still running
    std::size_t nLast = std::string::npos;  // the call the stack lines that follow belong to
    std::istringstream lines(sText);
    for (std::string sLine; std::getline(lines, sLine);) {
        if (StartsWith(sLine, " > ")) {
            if (nLast != std::string::npos) trace.calls[nLast].frames.push_back(sLine.substr(3));
            continue;
        }
        nLast = std::string::npos;
        const std::size_t nSpace = sLine.find(' ');
        if (nSpace == std::string::npos || nSpace == 0 ||
            sLine.find_first_not_of("0123456789") != nSpace)
            continue;
        const auto nTid = static_cast<pid_t>(std::stol(sLine.substr(0, nSpace)));
        // strace pads the thread's number to the width of the widest.
        const std::string sRest = sLine.substr(sLine.find_first_not_of(' ', nSpace));
        if (StartsWith(sRest, "<... ")) {
            const auto it = pending.find(nTid);
            if (it == pending.end()) continue;
            CTracedCall& call = trace.calls[it->second];
            call.sText += sRest.substr(sRest.find('>') + 1);
            call.bInjected = call.bInjected || sRest.find("(INJECTED)") != std::string::npos;
            nLast = it->second;
            pending.erase(it);
            continue;
        }
        const std::size_t nParen = sRest.find('(');
        if (nParen == std::string::npos || nParen == 0 ||
            sRest.find_first_of(" -+<") < nParen)  // signals, exits, and strace's own words
            continue;
        CTracedCall call;
        call.nTid = nTid;
        call.sName = sRest.substr(0, nParen);
        call.sText = sRest;
        call.bInjected = sRest.find("(INJECTED)") != std::string::npos;
        const std::size_t nUnfinished = call.sText.find(" <unfinished ...>");
        if (nUnfinished != std::string::npos) {
            call.sText.erase(nUnfinished);
            pending[nTid] = trace.calls.size();
        }
        if (trace.nMain == 0 && (call.sName == "execve" || trace.calls.empty())) trace.nMain = nTid;
        nLast = trace.calls.size();
        trace.calls.push_back(std::move(call));
    }
    return trace;
}

std::string SiteOf(const CTracedCall& call) {
    std::string sSite;
    for (const std::string& sFrame : call.frames) {
        std::string sModule, sFunction, sOffset;
        SplitFrame(sFrame, &sModule, &sFunction, &sOffset);
        sSite += sModule + sOffset + ";";
    }
    return sSite;
}

std::string ShapeOf(const CTracedCall& call) {
    // The arguments only, and of them what strace shows whether the call succeeded or not: the
    // flags, and the files descriptors lead to. Numbers, addresses, strings, and structures and
    // sets (which it shows filled in only on success) are each N.
    std::string sShape = call.sText.substr(0, call.sText.rfind(" = "));
    static const std::regex kText(R"("(\\.|[^"\\])*"(\.\.\.)?)");
    static const std::regex kComment(R"( ?/\*[^*]*\*/)");
    static const std::regex kFilled(R"(\{[^{}]*\}|~?\[[^\[\]]*\]|N => N)");
    static const std::regex kNumber(R"(0x[0-9a-f]+|[0-9]+)");
    sShape = std::regex_replace(sShape, kText, "N");
    sShape = std::regex_replace(sShape, kComment, "");
    sShape = std::regex_replace(sShape, kNumber, "N");
    for (std::string sBefore; sBefore != sShape;) {
        sBefore = sShape;
        sShape = std::regex_replace(sShape, kFilled, "N");
    }
    // The run's own folder, in the files named.
    sShape = std::regex_replace(sShape, std::regex("plx-test-[A-Za-z0-9]+"), "plx-test-X");
    return sShape.substr(0, sShape.find_last_not_of(' ') + 1);
}

std::string WhereIn(const CTracedCall& call, const std::string& sProgram) {
    const std::string sBase = BaseName(sProgram);
    std::string sWhere;
    int nNamed = 0;
    std::string sInnermost;
    for (const std::string& sFrame : call.frames) {
        std::string sModule, sFunction, sOffset;
        SplitFrame(sFrame, &sModule, &sFunction, &sOffset);
        if (sInnermost.empty() && !sFunction.empty()) sInnermost = sFunction + " in " + sModule;
        if (sModule != sBase || sFunction.empty()) continue;
        if ((sFunction == "main" && nNamed > 0) || nNamed == 4) break;
        sWhere += (nNamed++ == 0 ? "" : " < ") + sFunction;
    }
    if (sWhere.empty()) return sInnermost.empty() ? "(no stack)" : sInnermost;
    return sWhere;
}

std::string CInjection::Name() const {
    if (Clean()) return "clean run";
    return sCall + " " + sError + " #" + std::to_string(nWhen) +
           (sPath.empty() ? "" : " on " + sPath);
}

std::vector<std::string> StraceCommand(const CInjection& injection, const std::string& sDir,
                                       const std::string& sTrace, bool bWatchOpens) {
    std::vector<std::string> command = {FindStrace(), "-f", "-qqq", "-y", "-o", sTrace};
    // Stacks cost a millisecond a call: the clean run has them, and a breach's run again.
    if (injection.Clean() || injection.bStacks) command.push_back("-k");
    if (injection.Clean()) return command;
    // Only the traced calls stop the program (seccomp): the rest run at full speed.
    std::set<std::string> traced = {"execve", injection.sCall};
    if (bWatchOpens) traced.insert({"open", "openat"});
    std::string sTraced = "trace=";
    for (const std::string& sCall : traced) sTraced += sCall + ",";
    sTraced.pop_back();
    command.insert(command.end(), {"--seccomp-bpf", "-e", sTraced, "-e",
                                   "inject=" + injection.sCall + ":error=" + injection.sError +
                                       ":when=" + std::to_string(injection.nWhen)});
    if (!injection.sPath.empty())
        command.insert(command.end(), {"-P", sDir + "/" + injection.sPath});
    return command;
}

std::string ReportCommand(const CInjection& injection, const std::vector<std::string>& program) {
    std::string s = "strace -f -qqq -o /dev/null -e inject=" + injection.sCall +
                    ":error=" + injection.sError + ":when=" + std::to_string(injection.nWhen);
    if (!injection.sPath.empty()) s += " -P \"$DIR\"/" + injection.sPath;
    for (const std::string& sArg : program) s += " " + sArg;
    return s;
}

namespace {
const char* const kDevicesLetThrough[] = {"null", "random", "urandom", "ptmx", "pts", "shm"};
}  // namespace

bool FenceLetsThrough(const std::string& sPath) {
    if (sPath.compare(0, 5, "/dev/") != 0) return true;
    const std::string sName = sPath.substr(5, sPath.find('/', 5) - 5);
    for (const char* pszName : kDevicesLetThrough)
        if (sName == pszName) return true;
    return false;
}

CDeviceFence::CDeviceFence() {
    landlock_ruleset_attr attr = {};
    attr.handled_access_fs = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE;
    CFd ruleset(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, sizeof(attr), 0)));
    if (ruleset.Get() < 0) {
        m_sWhy = std::string("this kernel keeps no fence (Landlock): ") + std::strerror(errno);
        return;
    }
    bool bOk = true;
    const auto Allow = [&](const std::string& sPath) {
        const CFd path(::open(sPath.c_str(), O_PATH | O_CLOEXEC));
        if (path.Get() < 0) return;  // not on this machine
        landlock_path_beneath_attr rule = {};
        rule.allowed_access = attr.handled_access_fs;
        rule.parent_fd = path.Get();
        bOk = bOk && ::syscall(SYS_landlock_add_rule, ruleset.Get(), LANDLOCK_RULE_PATH_BENEATH,
                               &rule, 0) == 0;
    };
    if (DIR* pRoot = ::opendir("/")) {
        while (const dirent* pEntry = ::readdir(pRoot)) {
            const std::string sName = pEntry->d_name;
            if (sName != "." && sName != ".." && sName != "dev") Allow("/" + sName);
        }
        ::closedir(pRoot);
    }
    for (const char* pszName : kDevicesLetThrough) Allow(std::string("/dev/") + pszName);
    if (!bOk) {
        m_sWhy = std::string("the fence could not be built: ") + std::strerror(errno);
        return;
    }
    m_ruleset = std::move(ruleset);
}

const CDeviceFence& Fence() {
    static const CDeviceFence fence;
    return fence;
}

bool CDeviceFence::Enter() const {
    return Ready() && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_landlock_restrict_self, m_ruleset.Get(), 0) == 0;
}

CTracedRun::CTracedRun(const std::vector<std::string>& command, const std::vector<std::string>& env,
                       const std::string& sDir, const std::string& sInput, bool bEndInput) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    m_in.Reset(in[1]);
    CFd inRead(in[0]);
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    m_out.Reset(out[0]);
    CFd outWrite(out[1]);
    if (::pipe2(err, O_CLOEXEC) != 0) return;
    m_err.Reset(err[0]);
    CFd errWrite(err[1]);
    std::vector<char*> argv;
    for (const std::string& s : command) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& s : env) envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    const CDeviceFence& fence = Fence();
    const pid_t parent = ::getpid();
    m_strace = ::fork();
    if (m_strace == 0) {
        // A group of its own, which the end of the run kills whole: strace and all it traces.
        ::setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int nSignal = 1; nSignal < NSIG; ++nSignal) ::signal(nSignal, SIG_DFL);
        ::dup2(inRead.Get(), STDIN_FILENO);
        ::dup2(outWrite.Get(), STDOUT_FILENO);
        ::dup2(errWrite.Get(), STDERR_FILENO);
        const rlimit noCore = {0, 0};  // a program that aborts leaves no core file about
        if (::chdir(sDir.c_str()) != 0 || ::setrlimit(RLIMIT_CORE, &noCore) != 0 ||
            !fence.Enter() || ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
            ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (m_strace < 0) return;
    ::setpgid(m_strace, m_strace);  // as the child does, whichever comes first
    m_gone.Reset(static_cast<int>(::syscall(SYS_pidfd_open, m_strace, 0)));
    // The whole input at once: it fits in the pipe, and the program reads it as it likes.
    if (!sInput.empty() &&
        ::write(m_in.Get(), sInput.data(), sInput.size()) != static_cast<ssize_t>(sInput.size()))
        m_sErr += "[the sweep could not write the whole input]";
    if (bEndInput) m_in.Reset();
    for (CFd* pFd : {&m_out, &m_err})
        ::fcntl(pFd->Get(), F_SETFL, ::fcntl(pFd->Get(), F_GETFL) | O_NONBLOCK);
}

CTracedRun::~CTracedRun() { Kill(); }

void CTracedRun::Take(int nWaitMs) {
    pollfd fds[3] = {{m_out.Get(), POLLIN, 0}, {m_err.Get(), POLLIN, 0}, {m_gone.Get(), POLLIN, 0}};
    if (::poll(fds, 3, nWaitMs) <= 0) return;
    for (int i = 0; i < 2; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
        if (n > 0) (i == 0 ? m_sOut : m_sErr).append(buf, static_cast<std::size_t>(n));
    }
}

bool CTracedRun::Ended() {
    if (m_nStatus >= 0 || m_strace <= 0) return true;
    siginfo_t info = {};
    // Looked at without reaping it: while strace is not reaped its group cannot be another's.
    if (::waitid(P_PID, static_cast<id_t>(m_strace), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid == 0)
        return false;
    ::kill(-m_strace, SIGKILL);  // anything of the run's still in its group
    int nStatus = 0;
    ::waitpid(m_strace, &nStatus, 0);
    m_nStatus = nStatus;
    // Everything written before the end is in the pipes.
    for (CFd* pFd : {&m_out, &m_err}) {
        char buf[4096];
        ssize_t n = 0;
        while ((n = ::read(pFd->Get(), buf, sizeof(buf))) > 0)
            (pFd == &m_out ? m_sOut : m_sErr).append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

bool CTracedRun::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds tBound) {
    const Clock::time_point tDue = Clock::now() + tBound;
    while (!done()) {
        if (Ended()) return done();
        const auto tLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(tDue - Clock::now());
        if (tLeft.count() <= 0) return false;
        Take(static_cast<int>(std::min<long long>(tLeft.count(), 20)));
    }
    return true;
}

bool CTracedRun::WaitForEnd(std::chrono::milliseconds tBound) {
    return WaitFor([this] { return m_nStatus >= 0; }, tBound);
}

pid_t CTracedRun::Program() const {
    const std::string sTask = std::to_string(m_strace);
    std::istringstream children(ReadFileText("/proc/" + sTask + "/task/" + sTask + "/children"));
    pid_t nChild = 0;
    return children >> nChild ? nChild : 0;
}

void CTracedRun::SignalProgram(int nSignal) {
    if (Ended()) return;
    if (const pid_t nProgram = Program()) ::kill(nProgram, nSignal);
}

void CTracedRun::Kill() {
    if (m_strace <= 0 || m_nStatus >= 0) return;
    ::kill(-m_strace, SIGKILL);
    ::kill(m_strace, SIGKILL);
    int nStatus = 0;
    if (::waitpid(m_strace, &nStatus, 0) == m_strace) m_nStatus = nStatus;
}

namespace {

// One case: an aim and an error, run until it failed the call aimed at, or gave up.
struct CCaseResult {
    int nRuns = 0;
    int nBreaches = 0;
    int nAborts = 0;
    bool bAimed = false;
    std::vector<std::string> breaches;
};

CCaseResult RunCase(CFaultSession& session, const CAim& aim, const std::string& sError,
                    int nPreMain, const CTrace& cleanTrace,
                    const std::vector<std::string>& program) {
    CCaseResult result;
    CInjection injection = aim.injection;
    injection.sError = sError;
    for (int nTry = 0; nTry <= kRetargets; ++nTry) {
        const CVerdict verdict = session.Run(injection);
        ++result.nRuns;
        const std::vector<const CTracedCall*> injected = Injected(verdict.trace);
        if (verdict.bLibraryAbort) ++result.nAborts;
        if (!verdict.breaches.empty()) {
            ++result.nBreaches;
            std::string sBreach =
                session.Name() + ": " + injection.Name() + ": " + verdict.sWhat + "\n    breach: ";
            for (std::size_t i = 0; i < verdict.breaches.size(); ++i)
                sBreach += (i == 0 ? "" : "; ") + verdict.breaches[i];
            // Where the failed calls were made: from the case run again, with stacks.
            CInjection again = injection;
            again.bStacks = true;
            const CTrace stacks = session.Run(again).trace;
            for (const CTracedCall* pCall : injected) {
                sBreach += "\n    failed: " + OneLine(pCall->sText) + "\n      in ";
                std::string sWhere = "(not failed again)";
                for (const CTracedCall* pAgain : Injected(stacks))
                    if (ShapeOf(*pAgain) == ShapeOf(*pCall))
                        sWhere = WhereIn(*pAgain, session.Program());
                sBreach += sWhere;
            }
            if (injected.empty()) sBreach += "\n    failed: none (not reached)";
            sBreach += "\n    again: " + session.Setting() + "\n      " +
                       ReportCommand(injection, program);
            result.breaches.push_back(sBreach);
        }
        if (injected.empty()) break;  // the run ended before that call
        // Calls of other threads, and those counted on one file, are not aimed again.
        const int nNext = aim.bMain && aim.injection.sPath.empty()
                              ? Retarget(aim, injection.nWhen, verdict.trace, cleanTrace)
                              : -1;
        if (nNext <= nPreMain) {
            result.bAimed = nNext < 0;
            break;
        }
        injection.nWhen = nNext;
    }
    return result;
}

}  // namespace

bool SweepSession(CFaultSession& session, CSweepReport* pReport) {
    const Clock::time_point tStart = Clock::now();
    if (!Fence().Ready()) {
        pReport->breaches.push_back(
            "the sweep cannot keep the programs off the machine's serial "
            "ports, so it does not run: " +
            Fence().Why());
        return false;
    }
    const CVerdict clean = session.Run(CInjection());
    if (!clean.breaches.empty()) {
        for (const std::string& sBreach : clean.breaches)
            pReport->breaches.push_back(session.Name() + ": the clean run: " + sBreach + " (" +
                                        clean.sWhat + ")");
        return false;
    }
    const CTrace& cleanTrace = clean.trace;
    CPlan plan = Plan(cleanTrace, session.Files(), pReport);
    if (pReport->Total().nCalls == 0) {
        pReport->breaches.push_back(session.Name() +
                                    ": no call after main in the clean run's trace (is the "
                                    "program built with its symbols?)");
        return false;
    }
    std::vector<std::string> program = {session.Program()};
    for (const std::string& sArg : session.Args("\"$DIR\"")) program.push_back(sArg);

    struct CJob {
        const CAim* pAim;
        std::string sError;
        int nPreMain;
        CCaseResult result;
    };
    std::vector<CJob> jobs;
    for (const CAim& aim : plan.aims) {
        const int nPreMain = plan.preMain[aim.injection.sCall];
        jobs.push_back({&aim, "EIO", nPreMain, {}});
        if (kInterruptible.count(aim.injection.sCall) != 0)
            jobs.push_back({&aim, "EINTR", nPreMain, {}});
    }
    std::atomic<std::size_t> nNext{0};
    const auto Work = [&] {
        for (std::size_t i; (i = nNext++) < jobs.size();) {
            CJob& job = jobs[i];
            job.result = RunCase(session, *job.pAim, job.sError, job.nPreMain, cleanTrace, program);
        }
    };
    std::vector<std::thread> workers;
    const unsigned nWorkers = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    for (unsigned n = 1; n < nWorkers; ++n) workers.emplace_back(Work);
    Work();
    for (std::thread& worker : workers) worker.join();

    for (const CJob& job : jobs) {
        CSweepReport::CCount& count = pReport->counts[job.pAim->injection.sCall];
        ++count.nCases;
        count.nRuns += job.result.nRuns;
        count.nBreaches += job.result.nBreaches;
        count.nAborts += job.result.nAborts;
        count.nMissed += job.result.bAimed ? 0 : 1;
        pReport->breaches.insert(pReport->breaches.end(), job.result.breaches.begin(),
                                 job.result.breaches.end());
    }
    pReport->dSeconds = std::chrono::duration<double>(Clock::now() - tStart).count();
    return true;
}

CSweepReport::CCount& CSweepReport::CCount::operator+=(const CCount& other) {
    nCalls += other.nCalls;
    nCases += other.nCases;
    nRuns += other.nRuns;
    nBreaches += other.nBreaches;
    nAborts += other.nAborts;
    nMissed += other.nMissed;
    nLeftOut += other.nLeftOut;
    return *this;
}

CSweepReport::CCount CSweepReport::Total() const {
    CCount total;
    for (const auto& [sCall, count] : counts) total += count;
    return total;
}

void CSweepReport::Add(const CSweepReport& other) {
    for (const auto& [sCall, count] : other.counts) counts[sCall] += count;
    breaches.insert(breaches.end(), other.breaches.begin(), other.breaches.end());
    dSeconds += other.dSeconds;
}

std::string FormatReport(const std::string& sSession, const CSweepReport& report) {
    std::ostringstream text;
    const CSweepReport::CCount total = report.Total();
    text << sSession << ": " << total.nCalls << " calls after main, " << report.counts.size()
         << " kinds; " << total.nCases << " cases, " << total.nRuns << " runs in " << std::fixed
         << std::setprecision(0) << report.dSeconds << " s; " << report.breaches.size()
         << " breaches\n";
    text << "  " << std::left << std::setw(18) << "call" << std::right << std::setw(7) << "calls"
         << std::setw(7) << "cases" << std::setw(6) << "runs" << std::setw(10) << "breaches"
         << std::setw(8) << "aborts" << std::setw(8) << "missed" << std::setw(10) << "left out"
         << "\n";
    for (const auto& [sCall, count] : report.counts) {
        text << "  " << std::left << std::setw(18) << sCall << std::right << std::setw(7)
             << count.nCalls << std::setw(7) << count.nCases << std::setw(6) << count.nRuns
             << std::setw(10) << count.nBreaches << std::setw(8) << count.nAborts << std::setw(8)
             << count.nMissed << std::setw(10) << count.nLeftOut << "\n";
    }
    for (const std::string& sBreach : report.breaches) text << sBreach << "\n";
    return text.str();
}

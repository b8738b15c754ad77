#include "sim/SimSignals.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// What the handlers saw. A handler can reach nothing else.
volatile std::sig_atomic_t g_nEnd = 0;
volatile std::sig_atomic_t g_nStop = 0;
volatile std::sig_atomic_t g_nResized = 0;
volatile std::sig_atomic_t g_nContinued = 0;

void NoteEnd(int nSignal) { g_nEnd = nSignal; }
void NoteStop(int nSignal) { g_nStop = nSignal; }
void NoteResize(int /*nSignal*/) { g_nResized = 1; }
void NoteContinue(int /*nSignal*/) { g_nContinued = 1; }

// Every signal whose default ends a process and that can be caught, but for the faults: the
// simulator ends by any of them as by Ctrl+C, its port map entry removed.
const int kEnding[] = {SIGHUP,    SIGINT,  SIGQUIT,   SIGUSR1, SIGUSR2, SIGALRM, SIGTERM,
                       SIGSTKFLT, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR};

template <typename Visit>
void ForEachEnding(Visit visit) {
    for (int nSignal : kEnding) visit(nSignal);
    for (int nSignal = SIGRTMIN; nSignal <= SIGRTMAX; ++nSignal) visit(nSignal);
}

bool Handle(int nSignal, void (*pHandler)(int)) {
    struct sigaction action = {};
    action.sa_handler = pHandler;  // no SA_RESTART: a wait comes back for the loop to look
    sigemptyset(&action.sa_mask);
    return ::sigaction(nSignal, &action, nullptr) == 0;
}

}  // namespace

bool CSimSignals::Catch() {
    // Held back outside the wait. SIGTTIN and SIGTTOU are not: held back, the kernel would let
    // a background job read and write the terminal instead of stopping it.
    sigset_t held;
    sigemptyset(&held);
    // The rarer ones as far as the system lets them be caught: a tool that runs the simulator
    // (valgrind) may keep a real-time signal for itself.
    ForEachEnding([&](int nSignal) {
        if (Handle(nSignal, NoteEnd)) sigaddset(&held, nSignal);
    });
    for (int nSignal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGWINCH, SIGCONT, SIGTSTP})
        sigaddset(&held, nSignal);
    const bool bOk =
        Handle(SIGHUP, NoteEnd) && Handle(SIGINT, NoteEnd) && Handle(SIGQUIT, NoteEnd) &&
        Handle(SIGTERM, NoteEnd) && Handle(SIGWINCH, NoteResize) && Handle(SIGCONT, NoteContinue) &&
        Handle(SIGTSTP, NoteStop) && Handle(SIGTTIN, NoteStop) && Handle(SIGTTOU, NoteStop) &&
        ::signal(SIGPIPE, SIG_IGN) != SIG_ERR && ::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    if (!bOk || ::sigprocmask(SIG_BLOCK, &held, &m_old) != 0) return false;
    m_bBlocked = true;
    return true;
}

CSimSignals::~CSimSignals() {
    if (m_bBlocked) ::sigprocmask(SIG_SETMASK, &m_old, nullptr);
}

int CSimSignals::Wait(pollfd* pFds, nfds_t nFds, SimTime tTimeout) {
    timespec timeout = {};
    if (tTimeout >= SimTime(0)) {
        timeout.tv_sec = static_cast<time_t>(tTimeout.count() / 1000000000);
        timeout.tv_nsec = static_cast<long>(tTimeout.count() % 1000000000);
    }
    return ::ppoll(pFds, nFds, tTimeout >= SimTime(0) ? &timeout : nullptr, &m_old);
}

int CSimSignals::EndSignal() { return g_nEnd; }

int CSimSignals::TakeStop() {
    const int nSignal = g_nStop;
    g_nStop = 0;
    return nSignal;
}

bool CSimSignals::TakeResized() {
    const bool bResized = g_nResized != 0;
    g_nResized = 0;
    return bResized;
}

bool CSimSignals::TakeContinued() {
    const bool bContinued = g_nContinued != 0;
    g_nContinued = 0;
    return bContinued;
}

void CSimSignals::StopAs(int nSignal) {
    struct sigaction old = {};
    struct sigaction stop = {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    ::sigaction(nSignal, &stop, &old);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, nSignal);
    sigset_t before;
    (void)::raise(nSignal);
    ::sigprocmask(SIG_UNBLOCK, &one, &before);  // the process stops here until continued
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    ::sigaction(nSignal, &old, nullptr);
}

CInputEnd::CInputEnd() {
    struct stat st;
    m_bPipe = ::fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
    m_bTerminal = ::isatty(STDIN_FILENO) != 0;
}

void CInputEnd::Look() { m_bCounts = m_bPipe || (m_bTerminal && !PlxInBackground(STDIN_FILENO)); }

int CInputEnd::Fd() const { return m_bCounts ? STDIN_FILENO : -1; }

bool CInputEnd::Ended() const {
    const int fd = Fd();
    if (fd < 0) return false;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    return n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EIO);
}

bool PlxInBackground(int fd) {
    const pid_t foreground = ::tcgetpgrp(fd);
    return foreground >= 0 && foreground != ::getpgrp();
}

std::string PlxSignalName(int nSignal) {
    const char* pszAbbrev = ::sigabbrev_np(nSignal);
    return pszAbbrev != nullptr ? std::string("SIG") + pszAbbrev
                                : "signal " + std::to_string(nSignal);
}

// The platform layer on Linux: termios for the line, flock and TIOCEXCL for exclusive access,
// errno for the last error.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "serial/CommApi.h"
#include "serial/CommTermios.h"
#include "serial/PortMap.h"
#include "serial/TerminalGuard.h"

namespace {

const struct {
    std::uint32_t nBaud;
    speed_t speed;
} kSpeeds[] = {{50, B50},           {75, B75},           {110, B110},         {134, B134},
               {150, B150},         {200, B200},         {300, B300},         {600, B600},
               {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
               {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
               {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
               {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
               {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
               {3500000, B3500000}, {4000000, B4000000}};

// The one place that writes to a descriptor: goes on after signals and short writes, and waits
// when the descriptor is non-blocking. *pnDone gets what went out; false when not all of it did.
bool WriteFully(int fd, const void* pData, std::size_t nLength, std::size_t* pnDone) {
    const auto* pBytes = static_cast<const unsigned char*>(pData);
    std::size_t nDone = 0;
    bool bOk = true;
    while (nDone < nLength) {
        const ssize_t nWritten = ::write(fd, pBytes + nDone, nLength - nDone);
        if (nWritten > 0) {
            nDone += static_cast<std::size_t>(nWritten);
            continue;
        }
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd = {fd, POLLOUT, 0};
            if (::poll(&pfd, 1, -1) >= 0 || errno == EINTR) continue;
        }
        if (nWritten == 0) errno = EIO;  // a device that takes nothing would loop for ever
        bOk = false;
        break;
    }
    *pnDone = nDone;
    return bOk;
}

// A call on the line asked again when a signal interrupts it before it has done anything; its
// result otherwise.
template <typename Call>
int Retried(Call call) {
    int nResult = 0;
    do {
        nResult = call();
    } while (nResult != 0 && errno == EINTR);
    return nResult;
}

int Ioctl(int fd, unsigned long nRequest, void* pArg) {
    return Retried([&] { return ::ioctl(fd, nRequest, pArg); });
}

int GetAttr(int fd, termios* pTio) {
    return Retried([&] { return ::tcgetattr(fd, pTio); });
}

// Reads back what the line took and compares what the channel relies on.
bool TermiosHolds(int fd, const termios& wanted) {
    termios actual;
    if (GetAttr(fd, &actual) != 0) return false;
    const tcflag_t kCflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const tcflag_t kIflags = IXON | IXOFF | INLCR | IGNCR | ICRNL | ISTRIP;
    const tcflag_t kLflags = ICANON | ECHO | ISIG | IEXTEN;
    if (cfgetospeed(&actual) != cfgetospeed(&wanted) ||
        cfgetispeed(&actual) != cfgetispeed(&wanted) ||
        (actual.c_cflag & kCflags) != (wanted.c_cflag & kCflags) ||
        (actual.c_iflag & kIflags) != (wanted.c_iflag & kIflags) ||
        (actual.c_oflag & OPOST) != (wanted.c_oflag & OPOST) ||
        (actual.c_lflag & kLflags) != (wanted.c_lflag & kLflags) ||
        actual.c_cc[VMIN] != wanted.c_cc[VMIN] || actual.c_cc[VTIME] != wanted.c_cc[VTIME]) {
        // The device took the call but not the settings: it cannot do what was asked.
        errno = ENOTSUP;
        return false;
    }
    return true;
}

bool ApplyTermios(int fd, const termios& wanted) {
    if (Retried([&] { return ::tcsetattr(fd, TCSANOW, &wanted); }) != 0) return false;
    return TermiosHolds(fd, wanted);
}

// On a pseudo-terminal the exclusive mark outlives a program that a signal ends while the other
// end stays open, locking ordinary users out. Every signal whose default ends the process (a
// reader gone from a pipe, a timer, a fault, Ctrl+C) lifts the mark first and then ends the
// process as it would have. A handler can only find the port through a variable of its own:
// these two are the one piece of process-wide state here.
const int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT,
                              SIGBUS,  SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGPIPE,
                              SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM,
                              SIGPROF, SIGIO,   SIGPWR,    SIGSYS};
volatile sig_atomic_t g_nMarkedPort = -1;
sigset_t g_armed;  // the signals that have the handler; written only while none is armed

void LiftMarkAndEnd(int nSignal) {
    const int fd = g_nMarkedPort;
    if (fd >= 0) (void)::ioctl(fd, TIOCNXCL);
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    (void)::sigaction(nSignal, &fallback, nullptr);
    (void)::raise(nSignal);  // blocked while the handler runs; ends the process as it returns
}

template <typename Visit>
void ForEachEndingSignal(Visit visit) {
    for (int nSignal : kEndingSignals) visit(nSignal);
    for (int nSignal = SIGRTMIN; nSignal <= SIGRTMAX; ++nSignal) visit(nSignal);
}

// Sets the handler of nSignal to pNew where it is pOld, in one call in the usual case; false
// where it was something else, which is then left as it was.
bool SwapHandler(int nSignal, void (*pOld)(int), void (*pNew)(int)) {
    struct sigaction action = {};
    struct sigaction old = {};
    action.sa_handler = pNew;
    sigemptyset(&action.sa_mask);
    if (::sigaction(nSignal, &action, &old) != 0) return false;
    if (old.sa_handler == pOld) return true;
    (void)::sigaction(nSignal, &old, nullptr);
    return false;
}

void ArmSignals(int fd) {
    sigemptyset(&g_armed);
    g_nMarkedPort = fd;
    // A signal the user had ignored (nohup) stays ignored, and one a tool watches (a sanitizer,
    // a debugger) stays with it.
    ForEachEndingSignal([](int nSignal) {
        if (SwapHandler(nSignal, SIG_DFL, LiftMarkAndEnd)) sigaddset(&g_armed, nSignal);
    });
}

void DisarmSignals(int fd) {
    if (g_nMarkedPort != fd) return;
    // Only where the handler is still ours: a caller may have set its own since.
    ForEachEndingSignal([](int nSignal) {
        if (sigismember(&g_armed, nSignal) == 1) SwapHandler(nSignal, LiftMarkAndEnd, SIG_DFL);
    });
    sigemptyset(&g_armed);
    g_nMarkedPort = -1;
}

// Why the open line fd is not this program's to take (EBUSY: another program holds it), or 0,
// and then it is locked and marked for this program alone. Nobody else's line is touched: a mark
// already on it is another program's (root gets past one, so it is looked at rather than
// trusted to refuse); flock binds root as well; another line discipline means the kernel runs a
// protocol on the line (PPP, a GPS's pulses, a multiplexer) for whoever set it. Only a line found
// free gets this program's own mark, which refuses other openers that do not use flock. The
// caller's close undoes the lock.
int TakeLine(int fd) {
    int nExclusive = 0;
    if (Ioctl(fd, TIOCGEXCL, &nExclusive) != 0) return errno;
    if (nExclusive != 0) return EBUSY;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
    int nDiscipline = N_TTY;
    if (Ioctl(fd, TIOCGETD, &nDiscipline) != 0) return errno;
    if (nDiscipline != N_TTY) return EBUSY;
    return Ioctl(fd, TIOCEXCL, nullptr) != 0 ? errno : 0;
}

}  // namespace

bool PlxSpeedFromBaud(std::uint32_t nBaud, speed_t* pSpeed) {
    const auto* pFound = std::find_if(std::begin(kSpeeds), std::end(kSpeeds),
                                      [nBaud](const auto& s) { return s.nBaud == nBaud; });
    if (pFound == std::end(kSpeeds)) return false;
    *pSpeed = pFound->speed;
    return true;
}

std::uint32_t PlxBaudFromSpeed(speed_t speed) {
    for (const auto& s : kSpeeds)
        if (s.speed == speed) return s.nBaud;
    return 0;
}

void PlxCommStateFromTermios(const termios& tio, CCommState* pState) {
    pState->BaudRate = PlxBaudFromSpeed(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            pState->ByteSize = 5;
            break;
        case CS6:
            pState->ByteSize = 6;
            break;
        case CS7:
            pState->ByteSize = 7;
            break;
        default:
            pState->ByteSize = 8;
            break;
    }
    if (!(tio.c_cflag & PARENB))
        pState->Parity = EParity::None;
    else if (tio.c_cflag & CMSPAR)
        pState->Parity = (tio.c_cflag & PARODD) ? EParity::Mark : EParity::Space;
    else
        pState->Parity = (tio.c_cflag & PARODD) ? EParity::Odd : EParity::Even;
    pState->StopBits = (tio.c_cflag & CSTOPB) ? EStopBits::Two : EStopBits::One;
    pState->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    pState->fOutX = (tio.c_iflag & IXON) != 0;
    pState->fInX = (tio.c_iflag & IXOFF) != 0;
}

HCOMM PlxCreateFile(const char* pszPortName) {
    std::int32_t nPort = 0;
    std::string sPath;
    int nError = ENOENT;
    if (!PlxParsePortName(pszPortName, &nPort) || !PlxResolveComPort(nPort, &sPath, &nError)) {
        errno = nError;
        return HCOMM_INVALID;
    }
    // Looked at before and after it is opened: opening a console, somebody's terminal or a line
    // another program has locked already raises its modem lines, and nothing on it may change.
    // Non-blocking until the line is set up, so that a modem line without carrier cannot hold
    // the open.
    const int fd = PlxOpenFreeDevice(sPath, CSystemRoots());
    if (fd < 0) return HCOMM_INVALID;
    // No signal between the mark and the handler that lifts it, should one end the program.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    (void)::sigprocmask(SIG_BLOCK, &all, &old);
    const int nFailure = TakeLine(fd);
    if (nFailure == 0) ArmSignals(fd);
    (void)::sigprocmask(SIG_SETMASK, &old, nullptr);
    if (nFailure != 0) {
        ::close(fd);
        errno = nFailure;
        return HCOMM_INVALID;
    }
    return fd;
}

int PlxGetLastError() { return errno; }

void PlxSetLastError(int nError) { errno = nError; }

std::string PlxFormatMessage(int nError) {
    char szText[256];
    // strerror_r comes in two forms; take whichever this C library has.
    struct Pick {
        static const char* Text(int /*XSI result*/, const char* pszBuffer) { return pszBuffer; }
        static const char* Text(const char* pszGnu, const char* /*pszBuffer*/) { return pszGnu; }
    };
    return Pick::Text(::strerror_r(nError, szText, sizeof(szText)), szText);
}

bool PlxSetupComm(HCOMM /*hComm*/, std::uint32_t /*nInQueue*/, std::uint32_t /*nOutQueue*/) {
    // Linux sizes a tty's buffers itself; there is nothing to recommend to it.
    return true;
}

bool PlxGetCommState(HCOMM hComm, CCommState* pState) {
    termios tio;
    if (GetAttr(hComm, &tio) != 0) return false;
    PlxCommStateFromTermios(tio, pState);
    return true;
}

bool PlxSetCommState(HCOMM hComm, const CCommState& state) {
    termios tio;
    if (GetAttr(hComm, &tio) != 0) return false;
    speed_t speed = B0;
    if (!PlxSpeedFromBaud(state.BaudRate, &speed) || state.ByteSize < 5 || state.ByteSize > 8 ||
        state.StopBits == EStopBits::OneAndHalf) {  // no 1.5 stop bits in termios
        errno = EINVAL;
        return false;
    }
    // Raw both ways: every byte goes out and comes in as it is. Modem-line settings (HUPCL)
    // stay as the device had them.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[state.ByteSize - 5] | CLOCAL | CREAD;
    switch (state.Parity) {
        case EParity::None:
            break;
        case EParity::Odd:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case EParity::Even:
            tio.c_cflag |= PARENB;
            break;
        case EParity::Mark:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case EParity::Space:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
    }
    if (state.StopBits == EStopBits::Two) tio.c_cflag |= CSTOPB;
    if (state.fOutxCtsFlow) tio.c_cflag |= CRTSCTS;
    if (state.fOutX) tio.c_iflag |= IXON;
    if (state.fInX) tio.c_iflag |= IXOFF;
    if (cfsetospeed(&tio, speed) != 0 || cfsetispeed(&tio, speed) != 0 || !ApplyTermios(hComm, tio))
        return false;
    // Output an earlier program suspended (tcflow) stays suspended for as long as anything holds
    // the line, and the first write would wait for ever. (Output held by an XOFF resumes as IXON
    // goes off.)
    return Retried([&] { return ::tcflow(hComm, TCOON); }) == 0;
}

bool PlxSetCommTimeouts(HCOMM hComm, const CCommTimeouts& timeouts) {
    termios tio;
    if (GetAttr(hComm, &tio) != 0) return false;
    // termios has one read timer, in tenths of a second, and none for writes: a total timeout
    // becomes VTIME, rounded up; none at all makes a read wait for the first byte.
    const std::uint32_t nTenths = (timeouts.ReadTotalTimeoutConstant + 99) / 100;
    tio.c_cc[VMIN] = nTenths == 0 ? 1 : 0;
    tio.c_cc[VTIME] = static_cast<cc_t>(nTenths > 255 ? 255 : nTenths);
    if (!ApplyTermios(hComm, tio)) return false;
    // Writes block from here on, as the channel's callers expect.
    const int nFlags = ::fcntl(hComm, F_GETFL);
    return nFlags >= 0 && ::fcntl(hComm, F_SETFL, nFlags & ~O_NONBLOCK) == 0;
}

bool PlxWriteFile(HCOMM hComm, const void* pData, std::uint32_t nLength, std::uint32_t* pWritten) {
    std::size_t nDone = 0;
    const bool bOk = WriteFully(hComm, pData, nLength, &nDone);
    *pWritten = static_cast<std::uint32_t>(nDone);
    return bOk;
}

bool PlxCloseHandle(HCOMM hComm) {
    // Lift this program's exclusive mark so that the next program may open the line. Where that
    // fails and the line still says it is marked, the caller must be told. A line that was hung
    // up (the adapter pulled out) answers neither: it has no mark left to keep anyone out.
    bool bOk = true;
    int nError = 0;
    int nMarked = 0;
    if (Ioctl(hComm, TIOCNXCL, nullptr) != 0) {
        nError = errno;
        bOk = Ioctl(hComm, TIOCGEXCL, &nMarked) != 0 || nMarked == 0;
    }
    DisarmSignals(hComm);
    // Never retried: on Linux the descriptor is gone even when close reports EINTR.
    if (::close(hComm) != 0 && errno != EINTR && bOk) {
        bOk = false;
        nError = errno;
    }
    errno = bOk ? 0 : nError;
    return bOk;
}

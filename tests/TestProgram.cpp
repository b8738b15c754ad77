#include "tests/TestProgram.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <sstream>

namespace {

void MakePipe(CFd* pEnds) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pEnds[0].Reset(fds[0]);
    pEnds[1].Reset(fds[1]);
}

// Reads what is there now, waiting for nothing; false at the end of a pipe, or when nothing is.
bool ReadSome(int fd, std::string* pText) {
    pollfd pfd = {fd, POLLIN, 0};
    if (fd < 0 || ::poll(&pfd, 1, 0) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n <= 0) return false;
    pText->append(buf, static_cast<std::size_t>(n));
    return true;
}

// What is left in a pipe whose writer has ended; others that share it are not waited for.
void TakeRest(int fd, std::string* pText) {
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    while (ReadSome(fd, pText)) {
    }
}

// In the child, before exec: every ioctl(_, nRequest, _) fails with EIO from now on.
bool FailIoctl(unsigned long nRequest) {
    sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 3),
                            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
                            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(nRequest), 0, 1),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
                            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

CProgram::CProgram(const char* pszExe, EStreams mode, const std::vector<std::string>& args,
                   int nUid, const CRedirect& redirect) {
    const bool bTerminal = mode == EStreams::Terminal || mode == EStreams::TerminalErrorPipe;
    m_bTerminal = bTerminal;
    CFd outPipe[2], errPipe[2], inPipe[2];
    if (mode != EStreams::Terminal) MakePipe(errPipe);
    if (!bTerminal) MakePipe(outPipe);
    if (mode == EStreams::Pipe) MakePipe(inPipe);
    CFd exe(::open(pszExe, O_RDONLY | O_CLOEXEC));
    EXPECT_GE(exe.Get(), 0) << pszExe;
    std::vector<char*> argv{const_cast<char*>(pszExe)};
    for (const std::string& sArg : args) argv.push_back(const_cast<char*>(sArg.c_str()));
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        // Signals as a shell hands them on: what this test process ignores or blocks is its own.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int nSignal = 1; nSignal < NSIG; ++nSignal) ::signal(nSignal, SIG_DFL);
        if (bTerminal) {
            // A session of its own with this terminal as its controlling terminal, so that
            // Ctrl+C typed there reaches it.
            ::setsid();
            const int fd = ::open(m_terminal.SlavePath().c_str(), O_RDWR);
            ::dup2(fd, STDIN_FILENO);
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
        } else {
            ::dup2(outPipe[1].Get(), STDOUT_FILENO);
            if (mode == EStreams::Pipe)
                ::dup2(inPipe[0].Get(), STDIN_FILENO);
            else
                ::close(STDIN_FILENO);
        }
        if (mode != EStreams::Terminal) ::dup2(errPipe[1].Get(), STDERR_FILENO);
        if (!redirect.sStdin.empty())
            ::dup2(::open(redirect.sStdin.c_str(), redirect.nStdinFlags), STDIN_FILENO);
        if (!redirect.sStdout.empty())
            ::dup2(::open(redirect.sStdout.c_str(), O_WRONLY), STDOUT_FILENO);
        if (nUid >= 0 && !BecomeUser(nUid)) ::_exit(126);
        if (redirect.nFailedIoctl != 0 && !FailIoctl(redirect.nFailedIoctl)) ::_exit(126);
        // It dies with the test, should the test itself be killed (a run that hangs, ended by
        // CTest): nothing a test starts outlives it. After the change of user, which clears it.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(126);
        // By descriptor only for another user (who may not reach the build folder); scripts,
        // such as the one that runs Windows programs under Wine, need their path.
        if (nUid >= 0)
            ::fexecve(exe.Get(), argv.data(), environ);
        else
            ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    m_gone.Reset(static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0)));
    if (mode != EStreams::Terminal) m_err = std::move(errPipe[0]);
    if (!bTerminal) m_out = std::move(outPipe[0]);
    if (mode == EStreams::Pipe) m_in = std::move(inPipe[1]);
}

CProgram::~CProgram() {
    if (m_pid > 0 && m_nStatus < 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

void CProgram::Type(const std::string& sKeys) {
    const int fd = m_in.Get() >= 0 ? m_in.Get() : m_terminal.Master();
    ASSERT_EQ(::write(fd, sKeys.data(), sKeys.size()), static_cast<ssize_t>(sKeys.size()));
}

void CProgram::Signal(int nSignal) { ::kill(m_pid, nSignal); }

std::string CProgram::WaitFor(int fd, std::string* pText, const std::string& sText) {
    bool bEnded = false;
    while (pText->find(sText) == std::string::npos && !bEnded && !GaveUp()) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {Gone(), POLLIN, 0}};
        if (::poll(fds, 2, kGiveUpCheckMs) < 0 && errno != EINTR) break;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!ReadSome(fd, pText)) bEnded = true;  // the pipe's end: nothing more comes
        } else if (!Running()) {
            Collect();
            bEnded = true;
        }
    }
    EXPECT_NE(pText->find(sText), std::string::npos) << "never shown: " << sText << "\nshown:\n"
                                                     << *pText;
    return *pText;
}

std::string CProgram::WaitForOutput(const std::string& sText) {
    return WaitFor(OutFd(), &m_sOut, sText);
}

std::string CProgram::WaitForError(const std::string& sText) {
    // Standard error on the terminal shows on the screen.
    return m_err.Get() >= 0 ? WaitFor(m_err.Get(), &m_sErr, sText) : WaitForOutput(sText);
}

bool CProgram::Shows(const std::string& sText) {
    while (ReadSome(OutFd(), &m_sOut)) {
    }
    return m_sOut.find(sText) != std::string::npos;
}

bool CProgram::WaitUntil(const std::function<bool()>& done) {
    while (!done()) {
        if (!Running() || GaveUp()) return done();
        pollfd gone = {Gone(), POLLIN, 0};
        ::poll(&gone, 1, 10);  // ask again soon, or at once once it has ended
    }
    return true;
}

bool CProgram::WaitingForInput() {
    // "<call number> <first argument> ...", or "running".
    std::istringstream call(ReadFileText("/proc/" + std::to_string(m_pid) + "/syscall"));
    long nCall = -1;
    std::string sDescriptor;
    return Running() && call >> nCall >> sDescriptor && nCall == SYS_read && sDescriptor == "0x0";
}

void CProgram::FillOutput() {
    // The pipe's other end, opened again for writing; the terminal through its slave.
    CFd writer(m_out.Get() >= 0 ? ::open(("/proc/self/fd/" + std::to_string(m_out.Get())).c_str(),
                                         O_WRONLY | O_NONBLOCK | O_CLOEXEC)
                                : ::dup(m_terminal.Slave()));
    ASSERT_GE(writer.Get(), 0);
    const int nFlags = ::fcntl(writer.Get(), F_GETFL);  // the slave's own, when it is the slave
    ::fcntl(writer.Get(), F_SETFL, nFlags | O_NONBLOCK);
    const std::string sJunk(512, '.');
    while (::write(writer.Get(), sJunk.data(), sJunk.size()) > 0 || errno == EINTR) {
    }
    // A last byte where a whole block no longer fits.
    while (::write(writer.Get(), sJunk.data(), 1) > 0 || errno == EINTR) {
    }
    ::fcntl(writer.Get(), F_SETFL, nFlags);
}

void CProgram::Collect() {
    if (m_out.Get() >= 0) TakeRest(m_out.Get(), &m_sOut);
    if (m_err.Get() >= 0) TakeRest(m_err.Get(), &m_sErr);
    if (m_bTerminal) m_sOut += m_terminal.ReadThroughMarker();
}

int CProgram::Wait() {
    while (Running()) {
        if (GaveUp()) ::kill(m_pid, SIGKILL);  // it may never end of itself
        pollfd gone = {Gone(), POLLIN, 0};
        ::poll(&gone, 1, kGiveUpCheckMs);
    }
    Collect();
    return m_nStatus;
}

bool CProgram::Running() {
    if (m_nStatus >= 0 || m_pid <= 0) return false;
    int nStatus = 0;
    const pid_t pid = ::waitpid(m_pid, &nStatus, WNOHANG);
    if (pid == 0 || (pid < 0 && errno == EINTR)) return true;
    EXPECT_EQ(pid, m_pid) << "the program cannot be waited for";
    m_nStatus = pid == m_pid ? nStatus : 127 << 8;  // its status for Wait; else as if exit(127)
    return false;
}

std::string SimulatorDevice(CProgram& sim) {
    const std::string sOut = sim.WaitForOutput(R"({"event":"line")");
    const std::string kKey = R"("device":")";
    const std::size_t nAt = sOut.find(kKey);
    if (nAt == std::string::npos) return std::string();
    const std::size_t nStart = nAt + kKey.size();
    return sOut.substr(nStart, sOut.find('"', nStart) - nStart);
}

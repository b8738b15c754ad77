#include "tests/TestProgram.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

void MakePipe(CFd* pEnds) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pEnds[0].Reset(fds[0]);
    pEnds[1].Reset(fds[1]);
}

bool ReadSome(int fd, std::string* pText, int nTimeoutMs) {
    pollfd pfd = {fd, POLLIN, 0};
    if (::poll(&pfd, 1, nTimeoutMs) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n <= 0) return false;  // EIO on a terminal nobody holds any more
    pText->append(buf, static_cast<std::size_t>(n));
    return true;
}

std::string WaitFor(int fd, std::string* pText, const std::string& sText) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pText->find(sText) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        // Nothing to read at all (the other end is gone): wait out the deadline calmly.
        if (!ReadSome(fd, pText, 100)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(pText->find(sText), std::string::npos) << "never shown: " << sText << "\nshown:\n"
                                                     << *pText;
    return *pText;
}

void Drain(int fd, std::string* pText) {
    while (fd >= 0 && ReadSome(fd, pText, 200)) {
    }
}

}  // namespace

CProgram::CProgram(const char* pszExe, EStdin mode, const std::vector<std::string>& args, int nUid,
                   const CRedirect& redirect) {
    const bool bTerminal = mode == EStdin::Terminal || mode == EStdin::TerminalErrorPipe;
    CFd outPipe[2], errPipe[2], inPipe[2];
    if (mode != EStdin::Terminal) MakePipe(errPipe);
    if (!bTerminal) MakePipe(outPipe);
    if (mode == EStdin::Pipe) MakePipe(inPipe);
    CFd exe(::open(pszExe, O_RDONLY | O_CLOEXEC));
    EXPECT_GE(exe.Get(), 0) << pszExe;
    std::vector<char*> argv{const_cast<char*>(pszExe)};
    for (const std::string& sArg : args) argv.push_back(const_cast<char*>(sArg.c_str()));
    argv.push_back(nullptr);

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
            if (mode == EStdin::Pipe)
                ::dup2(inPipe[0].Get(), STDIN_FILENO);
            else
                ::close(STDIN_FILENO);
        }
        if (mode != EStdin::Terminal) ::dup2(errPipe[1].Get(), STDERR_FILENO);
        if (!redirect.sStdin.empty())
            ::dup2(::open(redirect.sStdin.c_str(), redirect.nStdinFlags), STDIN_FILENO);
        if (!redirect.sStdout.empty())
            ::dup2(::open(redirect.sStdout.c_str(), O_WRONLY), STDOUT_FILENO);
        if (nUid >= 0 && !BecomeUser(nUid)) ::_exit(126);
        // By descriptor only for another user (who may not reach the build folder); scripts,
        // such as the one that runs Windows programs under Wine, need their path.
        if (nUid >= 0)
            ::fexecve(exe.Get(), argv.data(), environ);
        else
            ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (mode != EStdin::Terminal) m_err = std::move(errPipe[0]);
    if (!bTerminal) m_out = std::move(outPipe[0]);
    if (mode == EStdin::Pipe) m_in = std::move(inPipe[1]);
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

std::string CProgram::WaitForOutput(const std::string& sText) {
    return WaitFor(OutFd(), &m_sOut, sText);
}

std::string CProgram::WaitForError(const std::string& sText) {
    // Standard error on the terminal shows on the screen.
    return m_err.Get() >= 0 ? WaitFor(m_err.Get(), &m_sErr, sText) : WaitForOutput(sText);
}

int CProgram::Wait() {
    for (int i = 0; i < 1000 && m_nStatus < 0; ++i) {
        int nStatus = 0;
        if (::waitpid(m_pid, &nStatus, WNOHANG) == m_pid)
            m_nStatus = nStatus;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GE(m_nStatus, 0) << "the program did not end";
    Drain(OutFd(), &m_sOut);
    Drain(m_err.Get(), &m_sErr);
    return m_nStatus;
}

bool CProgram::Running() {
    if (m_nStatus >= 0) return false;
    int nStatus = 0;
    if (::waitpid(m_pid, &nStatus, WNOHANG) != m_pid) return true;
    m_nStatus = nStatus;  // ended: keep its status for Wait
    return false;
}

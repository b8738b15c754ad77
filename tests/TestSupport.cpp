#include "tests/TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {
volatile sig_atomic_t g_bStopping = 0;
}  // namespace

void StopWaiting() { g_bStopping = 1; }

bool GaveUp() {
    if (g_bStopping && !::testing::Test::HasFailure())
        ADD_FAILURE() << "the run is being stopped: what this test waited for is below";
    return ::testing::Test::HasFailure();
}

CFd& CFd::operator=(CFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

int CFd::Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void CFd::Reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

CPseudoTerminal::CPseudoTerminal() {
    std::string sError;
    if (!m_line.Open(&sError)) throw std::runtime_error(sError);
}

std::string CPseudoTerminal::ReadThroughMarker() {
    // What the slave writes reaches the master in order, so once the marker is back, all that
    // was written before it is too. No line discipline setting a test uses alters these bytes.
    static const std::string kMarker = "\x01[plx-test: all that was written]\x02";
    const int nFlags = ::fcntl(Slave(), F_GETFL);
    ::fcntl(Slave(), F_SETFL, nFlags | O_NONBLOCK);  // a full terminal must not stop the reading
    std::string sText;
    std::size_t nSent = 0;
    std::size_t nFound = std::string::npos;
    while (nFound == std::string::npos) {
        pollfd fds[2] = {{Master(), POLLIN, 0},
                         {nSent < kMarker.size() ? Slave() : -1, POLLOUT, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLOUT) {
            const ssize_t n = ::write(Slave(), kMarker.data() + nSent, kMarker.size() - nSent);
            if (n > 0) nSent += static_cast<std::size_t>(n);
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            const ssize_t n = ::read(Master(), buf, sizeof(buf));
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) break;
            sText.append(buf, static_cast<std::size_t>(n));
            nFound = sText.find(kMarker);
        }
    }
    ::fcntl(Slave(), F_SETFL, nFlags);
    EXPECT_NE(nFound, std::string::npos) << "the marker did not come back";
    return nFound == std::string::npos ? sText : sText.substr(0, nFound);
}

std::vector<std::uint8_t> CPseudoTerminal::Written() {
    const std::string sText = ReadThroughMarker();
    return std::vector<std::uint8_t>(sText.begin(), sText.end());
}

std::vector<std::uint8_t> CPseudoTerminal::Read(std::size_t nCount, CWriter& writer) {
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < nCount && !GaveUp()) {
        pollfd fds[2] = {{Master(), POLLIN, 0}, {writer.Gone(), POLLIN, 0}};
        const int nReady = ::poll(fds, 2, kGiveUpCheckMs);
        if (nReady < 0 && errno != EINTR) break;
        if (nReady <= 0) continue;
        if (fds[0].revents & POLLIN) {
            std::uint8_t buf[4096];
            const ssize_t n = ::read(Master(), buf, std::min(sizeof(buf), nCount - bytes.size()));
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) break;
            bytes.insert(bytes.end(), buf, buf + n);
        } else if (!writer.Running()) {
            const std::vector<std::uint8_t> rest = Written();  // it ended: all it wrote
            bytes.insert(bytes.end(), rest.begin(), rest.end());
            break;
        }
    }
    return bytes;
}

CTempDir::CTempDir(bool bForOthers) {
    const char* pszTmp = std::getenv("TMPDIR");
    std::vector<std::string> roots{pszTmp && *pszTmp ? pszTmp : "/tmp"};
    // TMPDIR may be private to its owner; the shared temporary folders are not.
    if (bForOthers && OtherUser() >= 0) roots = {roots[0], "/tmp", "/var/tmp", "/dev/shm"};
    for (const std::string& sRoot : roots) {
        if (bForOthers && OtherUser() >= 0 && !UserCanReach(OtherUser(), sRoot)) continue;
        std::string sTemplate = sRoot + "/plx-test-XXXXXX";
        if (::mkdtemp(sTemplate.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        m_sPath = sTemplate;
        if (bForOthers) ::chmod(m_sPath.c_str(), 0755);
        return;
    }
}

CTempDir::~CTempDir() {
    std::error_code ec;
    if (!m_sPath.empty()) std::filesystem::remove_all(m_sPath, ec);
}

CPortMap::CPortMap(bool bForOthers) : m_dir(bForOthers) {
    const char* pszOld = std::getenv("XDG_CONFIG_HOME");
    m_bHadConfig = pszOld != nullptr;
    if (pszOld) m_sOldConfig = pszOld;
    if (!Usable()) return;
    std::filesystem::create_directories(Directory());
    if (bForOthers) {
        for (const std::string& sDir : {m_dir.Path() + "/plx", Directory()})
            ::chmod(sDir.c_str(), 0755);
    }
    ::setenv("XDG_CONFIG_HOME", m_dir.Path().c_str(), 1);
}

CPortMap::~CPortMap() {
    if (m_bHadConfig)
        ::setenv("XDG_CONFIG_HOME", m_sOldConfig.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

void CPortMap::Map(std::int32_t nPort, const std::string& sTarget) {
    const std::string sEntry = Directory() + "/com" + std::to_string(nPort);
    ::unlink(sEntry.c_str());
    if (::symlink(sTarget.c_str(), sEntry.c_str()) != 0) throw std::runtime_error("symlink failed");
}

CEnvironment::CEnvironment(const char* pszName, const char* pszValue) : m_pszName(pszName) {
    const char* pszOld = std::getenv(pszName);
    m_bHad = pszOld != nullptr;
    if (m_bHad) m_sOld = pszOld;
    if (pszValue != nullptr)
        ::setenv(pszName, pszValue, 1);
    else
        ::unsetenv(pszName);
}

CEnvironment::~CEnvironment() {
    if (m_bHad)
        ::setenv(m_pszName, m_sOld.c_str(), 1);
    else
        ::unsetenv(m_pszName);
}

CStderrCapture::CStderrCapture() : m_sFile(m_dir.Path() + "/stderr") {
    ::fflush(stderr);
    m_saved.Reset(::dup(STDERR_FILENO));
    CFd file(::open(m_sFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ::dup2(file.Get(), STDERR_FILENO);
}

CStderrCapture::~CStderrCapture() {
    ::fflush(stderr);
    ::dup2(m_saved.Get(), STDERR_FILENO);
}

std::string CStderrCapture::Text() const { return ReadFileText(m_sFile); }

std::string CommandOutput(const std::string& sCommand) {
    std::string sOut;
    if (FILE* pPipe = ::popen(sCommand.c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof(buf), pPipe)) > 0;) sOut.append(buf, n);
        ::pclose(pPipe);
    }
    return sOut;
}

CChildProgram::CChildProgram(bool (*setUp)(const void* pArgs), const void* pArgs) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close_range(3, ~0U, 0);
        const char c = setUp(pArgs) ? '+' : '-';
        (void)!::write(STDOUT_FILENO, &c, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(fds[1]);
    char c = 0;
    m_bReady = ::read(fds[0], &c, 1) == 1 && c == '+';
    ::close(fds[0]);
}

CChildProgram::~CChildProgram() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
}

int OtherUser() { return ::geteuid() == 0 ? 65534 : -1; }

bool BecomeUser(int nUid) {
    return ::setgroups(0, nullptr) == 0 && ::setgid(static_cast<gid_t>(nUid)) == 0 &&
           ::setuid(static_cast<uid_t>(nUid)) == 0;
}

bool UserCanReach(int nUid, const std::string& sPath) {
    if (nUid < 0) return true;
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(BecomeUser(nUid) && ::access(sPath.c_str(), X_OK) == 0 ? 0 : 1);
    int nStatus = 0;
    return pid > 0 && ::waitpid(pid, &nStatus, 0) == pid && WIFEXITED(nStatus) &&
           WEXITSTATUS(nStatus) == 0;
}

std::vector<int> OpenDescriptors() {
    std::vector<int> fds;
    DIR* pDir = ::opendir("/proc/self/fd");
    if (pDir == nullptr) return fds;
    const int nOwn = ::dirfd(pDir);
    while (const dirent* pEntry = ::readdir(pDir)) {
        if (pEntry->d_name[0] == '.') continue;
        const int fd = std::atoi(pEntry->d_name);
        if (fd != nOwn) fds.push_back(fd);
    }
    ::closedir(pDir);
    return fds;
}

std::string ReadFileText(const std::string& sPath) {
    std::ifstream file(sPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::size_t Occurrences(const std::string& sText, const std::string& sPart) {
    std::size_t nCount = 0;
    for (std::size_t n = 0; (n = sText.find(sPart, n)) != std::string::npos; n += sPart.size())
        ++nCount;
    return nCount;
}

// Checks that the texts appear in this order.
void ExpectInOrder(const std::string& sText, const std::vector<std::string>& parts) {
    std::size_t nAt = 0;
    for (const std::string& sPart : parts) {
        const std::size_t nFound = sText.find(sPart, nAt);
        ASSERT_NE(nFound, std::string::npos) << "missing, or out of order: " << sPart << "\nin:\n"
                                             << sText;
        nAt = nFound + sPart.size();
    }
}

CSimRig RigOf(const std::vector<std::string>& args) {
    std::vector<const char*> argv = {"plx-ssc-sim"};
    for (const std::string& sArg : args) argv.push_back(sArg.c_str());
    CSimOptions options;
    std::string sMessage;
    EXPECT_EQ(PlxParseSimOptions(static_cast<int>(argv.size()), argv.data(), &options, &sMessage),
              EParseResult::Run)
        << sMessage;
    return options.rig;
}

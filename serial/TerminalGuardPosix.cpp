#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "serial/PortMap.h"
#include "serial/TerminalGuard.h"

namespace {

// Device numbers of the kernel's fixed terminal devices (Documentation/admin-guide/devices.txt).
constexpr unsigned kTtyAuxMajor = 5;  // 5:0 /dev/tty, 5:1 /dev/console, 5:2 /dev/ptmx
constexpr unsigned kVirtualConsoleMajor = 4;
constexpr unsigned kVirtualConsoles = 64;  // 4:0 (tty0) to 4:63; 4:64 and up are ttyS

// The controlling terminal in a /proc/<pid>/stat line: field 7, counted after the command name,
// which is in parentheses and may itself hold spaces and parentheses. 0 when there is none.
bool ControllingTerminal(const std::string& sStat, dev_t* pDev, std::string* pCommand) {
    const std::size_t nOpen = sStat.find('(');
    const std::size_t nClose = sStat.rfind(')');
    if (nOpen == std::string::npos || nClose == std::string::npos || nClose < nOpen) return false;
    *pCommand = sStat.substr(nOpen + 1, nClose - nOpen - 1);
    std::istringstream fields(sStat.substr(nClose + 1));
    std::string sState;
    long long nPpid = 0;
    long long nGroup = 0;
    long long nSession = 0;
    long long nTty = 0;
    if (!(fields >> sState >> nPpid >> nGroup >> nSession >> nTty)) return false;
    // The kernel packs it as minor bits 31-20 and 7-0, major bits 15-8.
    const auto nPacked = static_cast<unsigned long long>(nTty) & 0xFFFFFFFFull;
    const auto nMajor = static_cast<unsigned>((nPacked >> 8) & 0xFFF);
    const auto nMinor = static_cast<unsigned>((nPacked & 0xFF) | ((nPacked >> 12) & 0xFFF00));
    *pDev = nPacked == 0 ? 0 : makedev(nMajor, nMinor);
    return true;
}

// The start of /proc/<pid>/stat, in one read: the fields wanted come within the first few
// hundred bytes, and every process on the machine is looked at, twice per port opened.
bool ReadStatStart(int procFd, const std::string& sPath, std::string* pText) {
    const int fd = ::openat(procFd, sPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    char buf[512];
    ssize_t n = 0;
    do {
        n = ::read(fd, buf, sizeof(buf));
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n <= 0) return false;
    pText->assign(buf, static_cast<std::size_t>(n));
    return true;
}

// procFd: the open /proc, or AT_FDCWD to find it by its path.
bool LookAtProcess(const CSystemRoots& roots, int procFd, const std::string& sPid,
                   std::string* pStat) {
    if (roots.lookAtProcess) return roots.lookAtProcess(sPid, pStat);
    const std::string sStat = sPid + "/stat";
    return ReadStatStart(procFd, procFd == AT_FDCWD ? roots.sProc + "/" + sStat : sStat, pStat);
}

// The first process whose controlling terminal is rdev; 0 when there is none.
pid_t TerminalUser(dev_t rdev, const CSystemRoots& roots, std::string* pCommand) {
    DIR* pDir = ::opendir(roots.sProc.c_str());
    if (pDir == nullptr) return 0;
    pid_t nFound = 0;
    while (const dirent* pEntry = ::readdir(pDir)) {
        char* pszEnd = nullptr;
        const long nPid = std::strtol(pEntry->d_name, &pszEnd, 10);
        if (nPid <= 0 || *pszEnd != '\0') continue;
        std::string sStat;
        dev_t tty = 0;
        // A process that ended since the directory was read simply has no file any more.
        if (LookAtProcess(roots, ::dirfd(pDir), pEntry->d_name, &sStat) &&
            ControllingTerminal(sStat, &tty, pCommand) && tty != 0 && tty == rdev) {
            nFound = static_cast<pid_t>(nPid);
            break;
        }
    }
    ::closedir(pDir);
    return nFound;
}

// Refuses, with the reason in errno, what PlxOpenFreeDevice must not keep.
bool MayTake(const struct stat& st, const CSystemRoots& roots) {
    if (!S_ISCHR(st.st_mode) || !PlxIsTerminalDevice(st.st_rdev, roots)) {
        errno = ENOTTY;
        return false;
    }
    const CDeviceRefusal refusal = PlxCheckDeviceFree(st.st_rdev, roots);
    errno = refusal.nError;
    return refusal.nError == 0;
}

}  // namespace

int PlxOpenFreeDevice(const std::string& sPath, const CSystemRoots& roots) {
    struct stat st;
    if (::stat(sPath.c_str(), &st) != 0) return -1;
    // A line another program has locked, before it is opened at all: on a real port every open
    // raises the modem lines, which that program may hold low (a board kept in reset). Once
    // open, the caller's own flock tells.
    if (!PlxFlockOwners(st, roots).empty()) {
        errno = EBUSY;
        return -1;
    }
    if (!MayTake(st, roots)) return -1;
    // Non-blocking so that a modem line without carrier cannot hold the open.
    const int fd = ::open(sPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !MayTake(st, roots)) {
        const int nError = errno;
        ::close(fd);
        errno = nError;
        return -1;
    }
    return fd;
}

bool PlxFdIsDevice(const std::string& sFdLink, dev_t rdev) {
    const std::string sTarget = PlxLinkTarget(sFdLink);
    struct stat st;
    return sTarget.size() > 5 && sTarget.compare(0, 5, "/dev/") == 0 &&
           ::stat(sFdLink.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev;
}

std::vector<pid_t> PlxFlockOwners(const struct stat& st, const CSystemRoots& roots) {
    std::vector<pid_t> owners;
    std::string sText;
    if (!PlxReadSmallFile(roots.sProc + "/locks", &sText)) return owners;
    // "1: FLOCK  ADVISORY  WRITE 4242 00:19:7 0 EOF": the file's device in hex, its inode in
    // decimal. A waiter's line has "->" after the number; POSIX and OFD locks keep nobody out.
    std::istringstream lines(sText);
    for (std::string sLine; std::getline(lines, sLine);) {
        std::istringstream words(sLine);
        std::vector<std::string> fields;
        for (std::string sWord; fields.size() < 6 && words >> sWord;) fields.push_back(sWord);
        if (fields.size() < 6 || fields[1] != "FLOCK") continue;
        char* pszEnd = nullptr;
        const long nPid = std::strtol(fields[4].c_str(), &pszEnd, 10);
        if (nPid <= 0 || *pszEnd != '\0') continue;
        const unsigned long nMajor = std::strtoul(fields[5].c_str(), &pszEnd, 16);
        if (*pszEnd != ':') continue;
        const unsigned long nMinor = std::strtoul(pszEnd + 1, &pszEnd, 16);
        if (*pszEnd != ':') continue;
        const unsigned long long nInode = std::strtoull(pszEnd + 1, &pszEnd, 10);
        struct stat process;
        // The pid of whoever took the lock, who may have handed it to a child and ended.
        if (*pszEnd == '\0' && makedev(nMajor, nMinor) == st.st_dev && nInode == st.st_ino &&
            ::stat((roots.sProc + "/" + fields[4]).c_str(), &process) == 0 &&
            std::find(owners.begin(), owners.end(), nPid) == owners.end())
            owners.push_back(static_cast<pid_t>(nPid));
    }
    return owners;
}

bool PlxParseDeviceNumber(const std::string& sText, dev_t* pDev) {
    char* pszEnd = nullptr;
    const unsigned long nMajor = std::strtoul(sText.c_str(), &pszEnd, 10);
    if (pszEnd == sText.c_str() || *pszEnd != ':') return false;
    const char* pszMinor = pszEnd + 1;
    const unsigned long nMinor = std::strtoul(pszMinor, &pszEnd, 10);
    if (pszEnd == pszMinor) return false;
    *pDev = makedev(nMajor, nMinor);
    return true;
}

bool PlxReadSmallFile(const std::string& sPath, std::string* pText) {
    const int fd = ::open(sPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    pText->clear();
    char buf[4096];
    bool bOk = true;
    while (pText->size() < (1u << 16)) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) bOk = false;
        if (n <= 0) break;
        pText->append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bOk;
}

std::string PlxProcessCommand(const std::string& sProc, const std::string& sPid) {
    std::string sCommand;
    if (!PlxReadSmallFile(sProc + "/" + sPid + "/comm", &sCommand)) return std::string();
    return sCommand.substr(0, sCommand.find('\n'));
}

std::string PlxLineDisciplineName(const std::string& sProc, int nDiscipline) {
    // "n_null     27"
    std::string sText;
    if (!PlxReadSmallFile(sProc + "/tty/ldiscs", &sText)) return std::string();
    std::istringstream lines(sText);
    std::string sName;
    for (int nNumber = 0; lines >> sName >> nNumber;)
        if (nNumber == nDiscipline) return sName;
    return std::string();
}

std::vector<dev_t> PlxActiveConsoles(const CSystemRoots& roots) {
    std::vector<dev_t> consoles;
    std::string sText;
    if (PlxReadSmallFile(roots.sSys + "/class/tty/console/active", &sText)) {
        std::istringstream names(sText);
        for (std::string sName; names >> sName;) {
            std::string sDev;
            dev_t dev = 0;
            if (PlxReadSmallFile(roots.sSys + "/class/tty/" + sName + "/dev", &sDev) &&
                PlxParseDeviceNumber(sDev, &dev))
                consoles.push_back(dev);
        }
        return consoles;
    }
    // Without sysfs: "ttyS0 -W- (EC p a) 4:64", the device last on each line.
    if (PlxReadSmallFile(roots.sProc + "/consoles", &sText)) {
        std::istringstream lines(sText);
        for (std::string sLine; std::getline(lines, sLine);) {
            dev_t dev = 0;
            const std::size_t nLast = sLine.find_last_of(' ');
            if (nLast != std::string::npos && PlxParseDeviceNumber(sLine.substr(nLast + 1), &dev))
                consoles.push_back(dev);
        }
    }
    return consoles;
}

bool PlxIsTerminalDevice(dev_t rdev, const CSystemRoots& roots) {
    std::string sText;
    if (!PlxReadSmallFile(roots.sProc + "/tty/drivers", &sText)) return true;
    // "serial  /dev/ttyS  4  64-95 serial": a driver, its path, its major number, its minor
    // numbers (one, or a range) and its kind. The name may be a path with spaces in it, so the
    // numbers are counted from the end.
    std::istringstream lines(sText);
    for (std::string sLine; std::getline(lines, sLine);) {
        std::istringstream words(sLine);
        std::vector<std::string> fields;
        for (std::string sWord; words >> sWord;) fields.push_back(sWord);
        if (fields.size() < 4) continue;
        const std::string& sMinors = fields[fields.size() - 2];
        char* pszEnd = nullptr;
        const unsigned long nMajor = std::strtoul(fields[fields.size() - 3].c_str(), &pszEnd, 10);
        if (*pszEnd != '\0' || nMajor != major(rdev)) continue;
        const unsigned long nFirst = std::strtoul(sMinors.c_str(), &pszEnd, 10);
        const unsigned long nLast = *pszEnd == '-' ? std::strtoul(pszEnd + 1, nullptr, 10) : nFirst;
        if (minor(rdev) >= nFirst && minor(rdev) <= nLast) return true;
    }
    return false;
}

CDeviceRefusal PlxCheckDeviceFree(dev_t rdev, const CSystemRoots& roots) {
    const unsigned nMajor = major(rdev);
    const unsigned nMinor = minor(rdev);
    if (nMajor == kTtyAuxMajor && nMinor == 2) {
        // Opening it makes a new pseudo-terminal whose other end nobody reads.
        return {ENOTTY, "a pseudo-terminal master (ptmx), not a serial line"};
    }
    if (nMajor == kTtyAuxMajor && nMinor == 0)
        return {EBUSY, "/dev/tty, the terminal of whoever opens it"};
    if (nMajor == kTtyAuxMajor && nMinor == 1) return {EBUSY, "the system console"};
    if (nMajor == kVirtualConsoleMajor && nMinor < kVirtualConsoles)
        return {EBUSY, "a virtual console"};
    for (dev_t console : PlxActiveConsoles(roots)) {
        if (console == rdev) return {EBUSY, "the system console"};
    }
    std::string sStat;
    std::string sCommand;
    dev_t own = 0;
    if (LookAtProcess(roots, AT_FDCWD, std::to_string(::getpid()), &sStat) &&
        ControllingTerminal(sStat, &own, &sCommand) && own != 0 && own == rdev)
        return {EBUSY, "this program's own terminal"};
    const pid_t nPid = TerminalUser(rdev, roots, &sCommand);
    if (nPid != 0)
        return {EBUSY, "the terminal of process " + std::to_string(nPid) + " (" + sCommand + ")"};
    return {};
}

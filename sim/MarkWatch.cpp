#include "sim/MarkWatch.h"

#include <dirent.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Whether the process whose fd folder is sFds has rdev open: true too when it cannot be told.
bool Holds(const std::string& sFds, dev_t rdev) {
    DIR* pFds = ::opendir(sFds.c_str());
    if (pFds == nullptr) return errno != ENOENT;  // gone, or not ours to look at
    bool bHeld = false;
    while (const dirent* pFd = ::readdir(pFds)) {
        struct stat st;
        std::string sFd = sFds;
        sFd.append("/").append(pFd->d_name);
        if (pFd->d_name[0] != '.' && ::stat(sFd.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == rdev) {
            bHeld = true;
            break;
        }
    }
    ::closedir(pFds);
    return bHeld;
}

}  // namespace

bool PlxHeldByAnother(dev_t rdev, const std::string& sProc) {
    DIR* pProc = ::opendir(sProc.c_str());
    if (pProc == nullptr) return true;  // cannot tell: leave the mark
    const std::string sSelf = std::to_string(::getpid());
    bool bHeld = false;
    while (const dirent* pEntry = ::readdir(pProc)) {
        const std::string sPid = pEntry->d_name;
        if (sPid.find_first_not_of("0123456789") != std::string::npos || sPid == sSelf) continue;
        std::string sFds = sProc;
        sFds.append("/").append(sPid).append("/fd");
        bHeld = Holds(sFds, rdev);
        if (bHeld) break;
    }
    ::closedir(pProc);
    return bHeld;
}

void CMarkWatch::Look(SimTime tNow) {
    if (tNow < NextDue()) return;
    m_tLast = tNow;
    int nExclusive = 0;
    if (::ioctl(m_slave, TIOCGEXCL, &nExclusive) != 0 || nExclusive == 0) return;
    if (::flock(m_slave, LOCK_EX | LOCK_NB) != 0) return;  // still held by its program
    ++m_nScans;
    struct stat st;
    if (::fstat(m_slave, &st) == 0 && !PlxHeldByAnother(st.st_rdev, m_sProc))
        ::ioctl(m_slave, TIOCNXCL);
    ::flock(m_slave, LOCK_UN);
}

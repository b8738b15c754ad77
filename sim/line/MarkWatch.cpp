#include "sim/line/MarkWatch.h"

#include <dirent.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "serial/TerminalGuard.h"

namespace {

// Whether the process whose fd folder is sFds has rdev open: 1, or 0; -1 when it cannot be told.
int Holds(const std::string& sFds, dev_t rdev) {
    DIR* pFds = ::opendir(sFds.c_str());
    if (pFds == nullptr) return errno == ENOENT ? 0 : -1;  // gone, or not ours to look at
    int nHeld = 0;
    while (const dirent* pFd = ::readdir(pFds)) {
        std::string sFd = sFds;
        sFd.append("/").append(pFd->d_name);
        if (pFd->d_name[0] != '.' && PlxFdIsDevice(sFd, rdev)) {
            nHeld = 1;
            break;
        }
    }
    ::closedir(pFds);
    return nHeld;
}

}  // namespace

pid_t PlxLineHolder(dev_t rdev, const std::string& sProc) {
    DIR* pProc = ::opendir(sProc.c_str());
    if (pProc == nullptr) return -1;  // cannot tell: leave the mark
    const std::string sSelf = std::to_string(::getpid());
    pid_t nHolder = 0;
    // On to the end past a process that cannot be told, so that one seen to hold it is named.
    while (const dirent* pEntry = ::readdir(pProc)) {
        const std::string sPid = pEntry->d_name;
        if (sPid.find_first_not_of("0123456789") != std::string::npos || sPid == sSelf) continue;
        std::string sFds = sProc;
        sFds.append("/").append(sPid).append("/fd");
        const int nHeld = Holds(sFds, rdev);
        if (nHeld < 0) nHolder = -1;
        if (nHeld > 0) {
            nHolder = static_cast<pid_t>(std::stol(sPid));
            break;
        }
    }
    ::closedir(pProc);
    return nHolder;
}

std::string CMarkWatch::HolderCommand() const {
    return m_nHolder > 0 ? PlxProcessCommand(m_sProc, std::to_string(m_nHolder)) : std::string();
}

std::string CMarkWatch::DisciplineName() const {
    return PlxLineDisciplineName(m_sProc, m_nDiscipline);
}

bool CMarkWatch::Look(SimTime tNow) {
    if (tNow < NextDue()) return false;
    m_tLast = tNow;
    const EMark markBefore = m_state;
    const EMark disciplineBefore = m_discipline;
    const int nDisciplineBefore = m_nDiscipline;
    const pid_t nHolderBefore = m_nHolder;
    m_nHolder = 0;
    int nExclusive = 0;
    const bool bMarked = ::ioctl(m_slave, TIOCGEXCL, &nExclusive) == 0 && nExclusive != 0;
    m_nDiscipline = N_TTY;
    const bool bDiscipline =
        ::ioctl(m_slave, TIOCGETD, &m_nDiscipline) == 0 && m_nDiscipline != N_TTY;
    m_state = bMarked ? EMark::Locked : EMark::Free;
    m_discipline = bDiscipline ? EMark::Locked : EMark::Free;
    // Either is still its program's while it holds the lock.
    if ((bMarked || bDiscipline) && ::flock(m_slave, LOCK_EX | LOCK_NB) == 0) {
        ++m_nScans;
        struct stat st;
        const pid_t nHolder = ::fstat(m_slave, &st) == 0 ? PlxLineHolder(st.st_rdev, m_sProc) : -1;
        const EMark kept = nHolder > 0 ? EMark::Open : EMark::Unknown;
        const int nTerminal = N_TTY;
        if (bMarked)
            m_state = nHolder == 0 && ::ioctl(m_slave, TIOCNXCL) == 0 ? EMark::Lifted : kept;
        if (bDiscipline)
            m_discipline =
                nHolder == 0 && ::ioctl(m_slave, TIOCSETD, &nTerminal) == 0 ? EMark::Lifted : kept;
        if (m_state == EMark::Open || m_discipline == EMark::Open) m_nHolder = nHolder;
        ::flock(m_slave, LOCK_UN);
    }
    const bool bHolderChanged = m_nHolder != nHolderBefore;
    m_bMarkChanged = m_state != markBefore || (m_state == EMark::Open && bHolderChanged);
    m_bDisciplineChanged = m_discipline != disciplineBefore ||
                           (m_discipline != EMark::Free && m_nDiscipline != nDisciplineBefore) ||
                           (m_discipline == EMark::Open && bHolderChanged);
    return m_bMarkChanged || m_bDisciplineChanged;
}

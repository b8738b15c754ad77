#include "sim/line/LineBacklog.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "serial/CommApi.h"

CLineBacklog::~CLineBacklog() {
    if (m_epoll >= 0) ::close(m_epoll);
}

bool CLineBacklog::Open(int master, std::string* pError) {
    m_master = master;
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    // Edge-triggered: ready once for each arrival, not for as long as bytes wait unread.
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLET;
    event.data.fd = master;
    if (m_epoll < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, master, &event) != 0) {
        *pError = "cannot watch the pseudo-terminal: " + PlxFormatMessage(errno);
        return false;
    }
    return true;
}

bool CLineBacklog::Look(SimTime tNow) {
    epoll_event event = {};
    while (::epoll_wait(m_epoll, &event, 1, 0) > 0) {
    }
    int nWaiting = 0;
    if (::ioctl(m_master, FIONREAD, &nWaiting) != 0 || nWaiting < 0) {
        m_bHidden = true;
        return false;
    }
    bool bEmptied = false;
    if (nWaiting == 0 && m_bHidden) {
        // Asked of an empty buffer, poll() first waits for the kernel to move in what waits
        // beyond it; still nothing then, and nothing is left anywhere.
        pollfd fd = {m_master, POLLIN, 0};
        bEmptied = ::poll(&fd, 1, 0) == 0;
        if (!bEmptied && ::ioctl(m_master, FIONREAD, &nWaiting) != 0) {
            m_bHidden = true;
            return false;
        }
    }
    Saw(tNow, static_cast<std::size_t>(std::max(nWaiting, 0)), bEmptied);
    return true;
}

void CLineBacklog::Saw(SimTime tNow, std::size_t nWaiting, bool bEmptied) {
    const std::uint64_t nUpTo = m_nRead + nWaiting;
    if (nUpTo > m_nSeen) {
        // Behind a buffer that may have been full these may have waited unseen since the look
        // before.
        m_seen.push_back({nUpTo, {tNow, m_bHidden}});
        m_nSeen = nUpTo;
    }
    // The kernel moves bytes into view after a read, when it gets to it: a count taken in between
    // shows room that is not there. Full at some moment since the last look, as far as can be
    // told (everything that came in before everything read), and more may wait beyond.
    m_bHidden = !bEmptied && (m_bHidden || nWaiting + m_nReadSinceLook >= SHOWN);
    m_nReadSinceLook = 0;
}

void CLineBacklog::Read(std::size_t nCount, SimTime tNow, std::vector<CReached>* pReached) {
    for (std::size_t i = 0; i < nCount; ++i) {
        while (!m_seen.empty() && m_seen.front().nUpTo <= m_nRead) m_seen.pop_front();
        pReached->push_back(m_seen.empty() ? CReached{tNow, m_bHidden} : m_seen.front().reached);
        ++m_nRead;
    }
    m_nReadSinceLook += nCount;
    m_nSeen = std::max(m_nSeen, m_nRead);
}

#include "sim/report/ReportOut.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

CReportOut::CReportOut(int fd) : m_fd(fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode)) return;  // a file takes what it is given
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
        const std::string sSelf = "/proc/self/fd/" + std::to_string(fd);
        m_nOwnFd = ::open(sSelf.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (m_nOwnFd >= 0) {
            m_fd = m_nOwnFd;
            return;
        }
    }
    // No opening of its own (a socket, a terminal of another user's): the shared one, put back
    // as it was at the end.
    const int nFlags = ::fcntl(fd, F_GETFL);
    if (nFlags >= 0 && (nFlags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) == 0)
        m_nOldFlags = nFlags;
}

CReportOut::~CReportOut() {
    if (!m_bDrained) Drain(std::chrono::milliseconds(200));
    if (m_nOldFlags >= 0) ::fcntl(m_fd, F_SETFL, m_nOldFlags);
    if (m_nOwnFd >= 0) ::close(m_nOwnFd);
}

bool CReportOut::Send() {
    while (m_nError == 0 && m_nSent < m_sPending.size()) {
        const ssize_t n = ::write(m_fd, m_sPending.data() + m_nSent, m_sPending.size() - m_nSent);
        if (n > 0) {
            m_nSent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            break;  // no room now; the loop offers it again
        } else {
            m_nError = n < 0 ? errno : EIO;
        }
    }
    // What went out is dropped once it is all out, or once it outweighs what is left.
    if (m_nSent == m_sPending.size() || m_nSent > m_sPending.size() / 2) {
        m_sPending.erase(0, m_nSent);
        m_nSent = 0;
    }
    return m_nError == 0;
}

void CReportOut::Drain(std::chrono::milliseconds tWait) {
    m_bDrained = true;
    const auto deadline = std::chrono::steady_clock::now() + tWait;
    while (Send() && Pending() > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd = {m_fd, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return;
    }
}

CReportOut::int_type CReportOut::overflow(int_type c) {
    if (m_nError != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof()))
        m_sPending += traits_type::to_char_type(c);
    return traits_type::not_eof(c);
}

std::streamsize CReportOut::xsputn(const char* p, std::streamsize n) {
    if (m_nError != 0) return 0;
    m_sPending.append(p, static_cast<std::size_t>(n));
    return n;
}

int CReportOut::sync() { return Send() ? 0 : -1; }

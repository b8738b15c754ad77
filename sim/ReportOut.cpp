#include "sim/ReportOut.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {
constexpr int kEndingWaitMs = 200;
}

CReportOut::CReportOut(int fd, const volatile std::sig_atomic_t* pEnd) : m_fd(fd), m_pEnd(pEnd) {
    setp(m_buffer, m_buffer + sizeof(m_buffer));
}

CReportOut::~CReportOut() { Drain(); }

bool CReportOut::Drain() {
    const char* p = pbase();
    while (m_nError == 0 && p < pptr()) {
        if (m_bEnding) {
            pollfd pfd = {m_fd, POLLOUT, 0};
            if (::poll(&pfd, 1, kEndingWaitMs) <= 0) m_nError = EAGAIN;
            if (m_nError != 0) break;
        }
        const ssize_t n = ::write(m_fd, p, static_cast<std::size_t>(pptr() - p));
        if (n > 0) {
            p += n;
        } else if (n < 0 && errno == EINTR) {
            // The signal handlers do not restart calls, so that a blocked write comes back.
            if (*m_pEnd != 0 && !m_bEnding) m_nError = EINTR;
        } else {
            m_nError = n < 0 ? errno : EIO;
        }
    }
    setp(m_buffer, m_buffer + sizeof(m_buffer));
    return m_nError == 0;
}

CReportOut::int_type CReportOut::overflow(int_type c) {
    if (!Drain()) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int CReportOut::sync() { return Drain() ? 0 : -1; }

// Standard output for the simulator's report, written so that it never holds up the end: a write
// blocked by a full pipe or a paused terminal gives way to a signal that ends the simulator, and
// once the end has begun a write waits only briefly for output that does not move.
#pragma once

#include <cerrno>
#include <csignal>
#include <streambuf>

class CReportOut : public std::streambuf {
public:
    // pEnd: set by the handler of the signals that end the simulator.
    CReportOut(int fd, const volatile std::sig_atomic_t* pEnd);
    ~CReportOut() override;
    CReportOut(const CReportOut&) = delete;
    CReportOut& operator=(const CReportOut&) = delete;

    // From now on, give up on output that takes nothing for a moment.
    void Ending() {
        m_bEnding = true;
        if (m_nError == EINTR) m_nError = 0;  // what was cut short is dropped; the rest may go
    }
    // The error that made output fail (EPIPE when the reader went away), 0 while it works.
    int Error() const { return m_nError; }

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    bool Drain();

    int m_fd;
    const volatile std::sig_atomic_t* m_pEnd;
    bool m_bEnding = false;
    int m_nError = 0;
    char m_buffer[4096];
};

// Standard output for the simulator's report, written so that it never holds the simulator up:
// what the reader does not take at once waits in memory, and the loop offers it again when there
// is room. A stopped pager, a frozen terminal or a full pipe therefore never keeps a signal from
// ending the simulator. The descriptor is made non-blocking for this process alone where it can
// be (its own opening of the same terminal or pipe), so that the shell sharing it is not changed.
#pragma once

#include <chrono>
#include <cstddef>
#include <streambuf>
#include <string>

class CReportOut : public std::streambuf {
public:
    explicit CReportOut(int fd);
    ~CReportOut() override;
    CReportOut(const CReportOut&) = delete;
    CReportOut& operator=(const CReportOut&) = delete;

    // Writes what the reader takes now. False once output has failed; Error() says why.
    bool Send();
    // Bytes written but not yet taken by the reader.
    std::size_t Pending() const { return m_sPending.size() - m_nSent; }
    // The descriptor to wait on for room while something is pending.
    int Fd() const { return m_fd; }
    // At the end: waits up to tWait in all for the reader to take what is pending. Once it has
    // been given its time, the object's end waits no longer.
    void Drain(std::chrono::milliseconds tWait);
    // The error that made output fail (EPIPE when the reader went away), 0 while it works.
    int Error() const { return m_nError; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* p, std::streamsize n) override;
    int sync() override;

private:
    int m_fd;
    int m_nOwnFd = -1;     // this process's own opening of the output, when it could make one
    int m_nOldFlags = -1;  // the flags to give back to a shared descriptor made non-blocking
    int m_nError = 0;
    std::string m_sPending;
    std::size_t m_nSent = 0;  // of m_sPending
    bool m_bDrained = false;
};

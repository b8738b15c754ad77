// When each byte a program writes reaches the line. The pseudo-terminal wakes the simulator as
// bytes come in, and a byte first counted there at a look reached the line by then. It shows at
// most SHOWN bytes (its read buffer); what a writer puts on the line beyond that waits where no
// call counts it, and the kernel moves it into view some time after each read, so that a byte
// first counted once the buffer may have been full may have come long before: its time is only a
// bound. That lasts until the line is seen empty with nothing left beyond the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/SimTime.h"

// When a byte reached the line, as the simulator first saw it there.
struct CReached {
    SimTime t{};
    bool bHidden = false;  // it may have waited unseen behind a full buffer, and come sooner
};

class CLineBacklog {
public:
    static constexpr std::size_t SHOWN = 4095;  // the most a Linux pseudo-terminal counts

    CLineBacklog() = default;
    ~CLineBacklog();
    CLineBacklog(const CLineBacklog&) = delete;
    CLineBacklog& operator=(const CLineBacklog&) = delete;

    // Watches the far end of the line, master, for bytes coming in; false, with the reason in
    // *pError, when the system refuses.
    bool Open(int master, std::string* pError);
    // Readable when bytes have come in since the last look.
    int Fd() const { return m_epoll; }
    // Counts the bytes waiting on the line at tNow; false, with errno set, when they cannot be
    // counted: what comes into view after that may have waited unseen.
    bool Look(SimTime tNow);
    // The same, with the count given: nWaiting bytes not yet read. bEmptied: nWaiting is 0 with
    // nothing beyond the buffer, the kernel having moved in all it held.
    void Saw(SimTime tNow, std::size_t nWaiting, bool bEmptied = false);
    // The next nCount bytes read off the line: when each reached it, appended to *pReached. A byte
    // no look counted reached it at tNow.
    void Read(std::size_t nCount, SimTime tNow, std::vector<CReached>* pReached);
    // The bytes waiting unread at the last look; only a floor while Hidden().
    std::size_t Waiting() const { return static_cast<std::size_t>(m_nSeen - m_nRead); }
    // Whether bytes may wait beyond the buffer, unseen: since a look that found it full or may
    // have (or could not count it), until one that found the line emptied.
    bool Hidden() const { return m_bHidden; }

private:
    struct CSeen {
        std::uint64_t nUpTo;  // the bytes before this one in the stream were seen by t
        CReached reached;
    };

    int m_master = -1;
    int m_epoll = -1;
    std::deque<CSeen> m_seen;
    std::uint64_t m_nRead = 0;         // bytes read off the line so far
    std::uint64_t m_nSeen = 0;         // bytes seen on it so far, read or waiting
    std::size_t m_nReadSinceLook = 0;  // bytes read since the last look
    bool m_bHidden = false;
};

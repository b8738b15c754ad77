// The serial line from the program to the controller, at the pace a real line carries bytes: a
// start bit, the data bits, a parity bit if any and the stop bits for each, at the line's baud
// rate. The simulator reads bytes off the pseudo-terminal only a little ahead of the wire, so
// that a writer that outruns the line is held back by the kernel's buffer, as on a real port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/SimTime.h"
#include "sim/line/LineBacklog.h"
#include "sim/line/LineWatch.h"

struct CWireByte {
    std::uint8_t nByte = 0;
    CReached reached;  // when the program's write put it on the line
    SimTime tDone{};   // when its last stop bit arrived
    // Once taken: the bytes read onto the wire that had not arrived when it did.
    std::size_t nAfter = 0;
};

class CPacedLine {
public:
    // bInstant: no pacing; every byte arrives the moment it is read.
    explicit CPacedLine(bool bInstant) : m_bInstant(bInstant) {}

    // How many bytes may be read off the terminal now, for bytes of tByte each on the wire.
    std::size_t Room(SimTime tByte) const;

    // nCount bytes read at tNow, each tByte long on the wire, with when each reached the line. On
    // an idle line the first starts at once; otherwise each starts when the one before it has
    // gone.
    void Arrive(const std::uint8_t* pBytes, const CReached* pReached, std::size_t nCount,
                SimTime tNow, SimTime tByte);

    // Appends, in order, the bytes whose last stop bit has arrived by tNow, each with the bytes
    // still to arrive after it (unpaced, those read with it arrive with it).
    void Take(SimTime tNow, std::vector<CWireByte>* pOut);

    // When the next byte's stop bit arrives; kNever when nothing is on the wire.
    SimTime NextDue() const { return m_queue.empty() ? kNever : m_queue.front().tDone; }

private:
    bool m_bInstant;
    std::deque<CWireByte> m_queue;
    SimTime m_tFree{};  // when the wire is next idle
};

// The time one byte takes on a line with these settings. A line whose speed has no number (B0)
// is taken at nFallbackBaud.
SimTime PlxByteTime(const CLineSettings& line, std::uint32_t nFallbackBaud);

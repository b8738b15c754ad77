#include "sim/line/PacedLine.h"

#include <algorithm>

namespace {

// Bytes read ahead of the wire: a little more than the wire carries between two of the
// simulator's looks (one frame of the controller, 20 ms), and never fewer than a few packets.
constexpr std::size_t kMinAhead = 64;
constexpr SimTime kAheadTime = std::chrono::milliseconds(50);
// Read at once, unpaced.
constexpr std::size_t kInstantRead = 4096;

}  // namespace

std::size_t CPacedLine::Room(SimTime tByte) const {
    if (m_bInstant) return kInstantRead;
    const auto nAhead =
        std::max(kMinAhead, static_cast<std::size_t>(kAheadTime / std::max(tByte, SimTime(1))));
    return m_queue.size() >= nAhead ? 0 : nAhead - m_queue.size();
}

void CPacedLine::Arrive(const std::uint8_t* pBytes, const CReached* pReached, std::size_t nCount,
                        SimTime tNow, SimTime tByte) {
    for (std::size_t i = 0; i < nCount; ++i) {
        const SimTime tDone = m_bInstant ? tNow : std::max(tNow, m_tFree) + tByte;
        m_tFree = tDone;
        m_queue.push_back({pBytes[i], pReached[i], tDone});
    }
}

void CPacedLine::Take(SimTime tNow, std::vector<CWireByte>* pOut) {
    while (!m_queue.empty() && m_queue.front().tDone <= tNow) {
        CWireByte byte = m_queue.front();
        m_queue.pop_front();
        const auto itLater =
            std::upper_bound(m_queue.begin(), m_queue.end(), byte.tDone,
                             [](SimTime t, const CWireByte& other) { return t < other.tDone; });
        byte.nAfter = static_cast<std::size_t>(m_queue.end() - itLater);
        pOut->push_back(byte);
    }
}

SimTime PlxByteTime(const CLineSettings& line, std::uint32_t nFallbackBaud) {
    const std::uint32_t nBaud = line.nBaud != 0 ? line.nBaud : nFallbackBaud;
    const int nBits = 1 + line.nDataBits + (line.cParity == 'N' ? 0 : 1) + line.nStopBits;
    return std::chrono::round<SimTime>(std::chrono::duration<double>(nBits) / nBaud);
}

#include "sim/controller/Controller.h"

void CController::Opened(SimTime t, CSimSink* pSink) {
    if (m_rig.dResetS <= 0) return;
    m_board.Restart(t, pSink);
    m_decoder.Reset();
    m_nDetected = 0;
    m_tRestart = t;
    m_bRestarting = true;
}

void CController::Take(const CWireByte& byte, const CLineSettings& line, SimTime tQueued,
                       bool bQueuedFloor) {
    // What arrives while the board restarts is still read, to tell what was lost; once it is
    // back it listens afresh.
    const bool bLost = m_bRestarting && byte.tDone < m_tRestart + m_rig.Restart();
    if (m_bRestarting && !bLost) {
        m_bRestarting = false;
        m_decoder.Reset();
    }
    // The byte it detects the baud rate from is its own, not a packet's.
    if (!bLost && Detecting() && byte.nByte == m_rig.Board().DetectByte()) {
        m_nDetected = line.nBaud != 0 ? line.nBaud : m_rig.Board().Baud();
        m_decoder.Reset();
        return;
    }
    m_events.clear();
    m_decoder.Feed(&byte.nByte, 1, byte.tDone, &m_events);
    for (CSscEvent& event : m_events) {
        event.tBehind = byte.tDone - byte.reached.t;
        event.bBehindFloor = byte.reached.bHidden;
        event.tQueued = tQueued;
        event.bQueuedFloor = bQueuedFloor;
        event.bLost = bLost;
        std::string sWhyNot = WhyNot(line);
        // What to do about a board that waits to detect its baud rate, with the first packet
        // it took nothing of.
        if (Detecting() && !m_bToldDetect) {
            sWhyNot = m_rig.Board().DetectAdvice();
            m_bToldDetect = true;
        }
        m_board.Take(event, sWhyNot);
    }
}

std::string CController::WhyNot(const CLineSettings& line) const {
    if (Detecting()) return m_rig.Board().DetectWait();
    return PlxWhyNotUnderstood(line, m_nDetected != 0 ? m_nDetected : m_rig.Board().Baud());
}

#include "sim/controller/Controller.h"

void CController::Opened(SimTime t, CSimSink* pSink) {
    if (m_rig.dResetS <= 0) return;
    // A packet begun before goes on being read with what the restart loses, to tell what was lost.
    m_board.Restart(t, pSink);
    m_nDetected = 0;
    m_tRestart = t;
    m_bRestarting = true;
}

void CController::Take(const CWireByte& byte, const CLineSettings& line, SimTime tQueued,
                       bool bQueuedFloor) {
    // What arrives while the board restarts is still read, to tell what was lost; once it is
    // back it listens afresh, and what it had of a packet is lost with the restart.
    const bool bLost = m_bRestarting && byte.tDone < m_tRestart + m_rig.Restart();
    m_events.clear();
    if (m_bRestarting && !bLost) {
        m_bRestarting = false;
        m_decoder.Reset(byte.tDone, &m_events);
        Tell(byte, line, tQueued, bQueuedFloor, true);
    }
    // The byte it detects the baud rate from is its own, not a packet's: what it had of one
    // before is dropped, not understood.
    if (!bLost && Detecting() && byte.nByte == m_rig.Board().DetectByte()) {
        m_decoder.Reset(byte.tDone, &m_events);
        Tell(byte, line, tQueued, bQueuedFloor, false);
        m_nDetected = line.nBaud != 0 ? line.nBaud : m_rig.Board().Baud();
        CSscEvent detected;
        detected.kind = CSscEvent::EKind::Detected;
        detected.t = byte.tDone;
        detected.bytes = {byte.nByte};
        detected.nBaud = m_nDetected;
        m_events.push_back(detected);
    } else {
        m_decoder.Feed(&byte.nByte, 1, byte.tDone, &m_events);
    }
    Tell(byte, line, tQueued, bQueuedFloor, bLost);
}

void CController::Tell(const CWireByte& byte, const CLineSettings& line, SimTime tQueued,
                       bool bQueuedFloor, bool bLost) {
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
    m_events.clear();
}

std::string CController::WhyNot(const CLineSettings& line) const {
    if (Detecting()) return m_rig.Board().DetectWait();
    return PlxWhyNotUnderstood(line, m_nDetected != 0 ? m_nDetected : m_rig.Board().Baud());
}

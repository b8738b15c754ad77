// The controller as the wire feeds it: each byte in the order it arrived, through what the board
// does before it reads a packet (a restart after its port was opened, waiting for the byte it
// detects its baud rate from), to the decoder, and each event to the servos with how long its
// packet waited on the line and why a real controller would not have understood it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimTime.h"
#include "sim/controller/ServoBoard.h"
#include "sim/controller/SimRig.h"
#include "sim/controller/SscDecoder.h"
#include "sim/line/LineWatch.h"
#include "sim/line/PacedLine.h"

class CController {
public:
    // rig: the board on the line; board: its servos, which take what it decodes.
    CController(const CSimRig& rig, CServoBoard& board)
        : m_rig(rig), m_board(board), m_decoder(rig.Board()) {}

    // One byte whose stop bit has arrived, taken on a line set as line is; tQueued: the wire time
    // still waiting after it, only a floor with bQueuedFloor.
    void Take(const CWireByte& byte, const CLineSettings& line, SimTime tQueued,
              bool bQueuedFloor = false);
    // A program first opened the port at t, after the bytes taken so far: a board that resets
    // when its port is opened restarts, and loses what arrives while it does, and a packet it had
    // begun; pSink hears what the restart ends.
    void Opened(SimTime t, CSimSink* pSink);
    // Why the board would not follow a line set as line is now; empty when it would.
    std::string WhyNot(const CLineSettings& line) const;

private:
    // Each event decoded so far, stamped with how long byte waited and the backlog then, to the
    // board; bLost: nothing took it, the board restarting.
    void Tell(const CWireByte& byte, const CLineSettings& line, SimTime tQueued, bool bQueuedFloor,
              bool bLost);
    // Whether the board still waits for the byte it detects its baud rate from.
    bool Detecting() const { return m_rig.Board().DetectByte() >= 0 && m_nDetected == 0; }

    const CSimRig& m_rig;
    CServoBoard& m_board;
    CSscDecoder m_decoder;
    std::uint32_t m_nDetected = 0;  // the baud rate it detected
    bool m_bToldDetect = false;     // whether a packet has said what to do about the wait
    SimTime m_tRestart = kNever;    // when it last began to restart
    bool m_bRestarting = false;     // no byte has yet come after that restart
    std::vector<CSscEvent> m_events;
};

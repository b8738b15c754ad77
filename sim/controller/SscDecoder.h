// The MINI-SSC II protocol as a controller reads its serial line: wait for 255, take the next byte
// as the servo and the one after it as the position. A 255 where a servo or position is due starts
// a new packet, and the broken one is lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/SimTime.h"
#include "sim/controller/BoardModel.h"

struct CSscEvent {
    enum class EKind {
        Move,      // a servo the board on the line answers, moved
        Ignored,   // a servo the board does not answer
        Dropped,   // bytes that made no command
        Detected,  // the byte the board detected its baud rate from
    };
    enum class EDrop {
        NoSync,     // a byte where a sync byte was due
        NewPacket,  // a packet cut short by a sync byte
        CutShort,   // a packet cut short by the board's starting to listen afresh
    };
    EKind kind = EKind::Move;
    int nServo = 0;    // as numbered on the line
    int nOutput = -1;  // Move only: the board's output that answers it
    int nPosition = 0;
    double dPulseUs = 0;              // Move only
    std::vector<std::uint8_t> bytes;  // Dropped and Detected only: what was lost, or taken
    EDrop drop = EDrop::NoSync;       // Dropped only: why
    std::uint32_t nBaud = 0;          // Detected only: the baud rate detected
    bool bLost = false;               // it came while the board restarted: nothing took it
    SimTime t{};                      // when the byte that made it arrived
    // How long that byte waited: from when the program's write put it on the line to t. A bound
    // when it may have waited where the line does not show it.
    SimTime tBehind{};
    bool bBehindFloor = false;
    SimTime tQueued{};  // the wire time of the bytes still waiting on the line when it was taken
    bool bQueuedFloor = false;  // more may have waited where the line does not show them
};

// What the board on the line reads: it takes the packets for the servos it answers, on the
// outputs that answer them; where two controllers share the line, both lose the same broken
// packets.
class CSscDecoder {
public:
    // board: which servos it answers, and the pulse for each position.
    explicit CSscDecoder(const CBoardModel& board) : m_board(board) {}

    // Takes bytes as they arrive, in pieces of any size, the last of them at t; appends what
    // they did to *pEvents, each event stamped t.
    void Feed(const std::uint8_t* pBytes, std::size_t nCount, SimTime t,
              std::vector<CSscEvent>* pEvents);
    // Starts afresh, waiting for 255, as a board does that begins to listen: a packet cut short
    // is appended to *pEvents as dropped, stamped t.
    void Reset(SimTime t, std::vector<CSscEvent>* pEvents);

private:
    enum class EState { Sync, Servo, Position };

    // The packet begun so far (255, and the servo once it came), dropped for drop, stamped t.
    CSscEvent BrokenPacket(SimTime t, CSscEvent::EDrop drop) const;

    const CBoardModel& m_board;
    EState m_state = EState::Sync;
    std::uint8_t m_nServo = 0;
};

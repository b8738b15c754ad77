// The MINI-SSC II's reading of its serial line: wait for 255, take the next byte as the servo and
// the one after it as the position. A 255 where a servo or position is due starts a new packet,
// and the broken one is lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/SimTime.h"

struct CSscEvent {
    enum class EKind {
        Move,     // a servo this controller answers, moved
        Ignored,  // a servo another controller on the line would take
        Dropped,  // bytes that made no command
    };
    EKind kind = EKind::Move;
    int nServo = 0;
    int nPosition = 0;
    int nPulseUs = 0;                 // Move only
    std::vector<std::uint8_t> bytes;  // Dropped only: what was lost
    bool bNewPacket = false;          // Dropped only: cut short by a sync byte
    SimTime t{};                      // when the byte that made it arrived
};

class CSscDecoder {
public:
    static constexpr int SERVOS = 8;

    // nFirstServo: 0 or 8, the identification jumper. nRange: 90 or 180 degrees.
    CSscDecoder(int nFirstServo, int nRange);

    // Takes bytes as they arrive, in pieces of any size, the last of them at t; appends what
    // they did to *pEvents, each event stamped t.
    void Feed(const std::uint8_t* pBytes, std::size_t nCount, SimTime t,
              std::vector<CSscEvent>* pEvents);

    // The pulse width in microseconds for a position of 0 to 254: 1500 us at 127, and 500 us
    // (90 degrees) or 1000 us (180 degrees) either side at the ends, rounded to the microsecond.
    static int PulseWidthUs(int nPosition, int nRange);

private:
    enum class EState { Sync, Servo, Position };

    int m_nFirstServo;
    int m_nRange;
    EState m_state = EState::Sync;
    std::uint8_t m_nServo = 0;
};

// The MINI-SSC II's reading of its serial line: wait for 255, take the next byte as the servo and
// the one after it as the position. A 255 where a servo or position is due starts a new packet,
// and the broken one is lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/SimTime.h"
#include "sim/controller/SimRig.h"

struct CSscEvent {
    enum class EKind {
        Move,     // a servo a controller on the line answers, moved
        Ignored,  // a servo no controller on the line answers
        Dropped,  // bytes that made no command
    };
    EKind kind = EKind::Move;
    int nServo = 0;
    int nPosition = 0;
    int nPulseUs = 0;                 // Move only
    std::vector<std::uint8_t> bytes;  // Dropped only: what was lost
    bool bNewPacket = false;          // Dropped only: cut short by a sync byte
    SimTime t{};                      // when the byte that made it arrived
    SimTime tBehind{};  // the wire time of the bytes still waiting on the line when it was taken
};

// What every controller on the line reads: each takes the packets for the servos of its
// identification jumper, and all of them lose the same broken packets.
class CSscDecoder {
public:
    // rig: the controllers on the line and their jumpers, read as bytes come.
    explicit CSscDecoder(const CSimRig& rig) : m_rig(rig) {}

    // Takes bytes as they arrive, in pieces of any size, the last of them at t; appends what
    // they did to *pEvents, each event stamped t.
    void Feed(const std::uint8_t* pBytes, std::size_t nCount, SimTime t,
              std::vector<CSscEvent>* pEvents);

    // The pulse width in microseconds for a position of 0 to 254: 1500 us at 127, and 500 us
    // (90 degrees) or 1000 us (180 degrees) either side at the ends, rounded to the microsecond.
    static int PulseWidthUs(int nPosition, int nRange);
    // The same, unrounded, for a position anywhere from 0 to 254 (a shaft on its way).
    static double PulseWidthAt(double dPosition, int nRange);

private:
    enum class EState { Sync, Servo, Position };

    const CSimRig& m_rig;
    EState m_state = EState::Sync;
    std::uint8_t m_nServo = 0;
};

// What the simulated controller's servos are doing: the last position of each servo it answers,
// how many moves each made, and what came over the line that a real controller would not have
// understood (which moves nothing).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>

#include "sim/SscDecoder.h"

class CServoBoard {
public:
    static constexpr std::size_t RECENT = 4;  // notes kept for the live view

    CServoBoard(int nFirstServo, int nRange) : m_nFirstServo(nFirstServo), m_nRange(nRange) {
        m_anPosition.fill(-1);
        m_anMoves.fill(0);
    }

    // One decoded event; sWhyNot non-empty when the controller could not have understood it.
    // Anything but an understood move is kept among the recent notes, as the log writes it.
    void Take(const CSscEvent& event, const std::string& sWhyNot);

    int FirstServo() const { return m_nFirstServo; }
    int Range() const { return m_nRange; }
    // Index 0 is FirstServo(); -1 where no understood move came.
    int Position(int i) const { return m_anPosition[static_cast<std::size_t>(i)]; }
    int Moves(int i) const { return m_anMoves[static_cast<std::size_t>(i)]; }
    int NotUnderstood() const { return m_nNotUnderstood; }
    // The servo index that moved last, and a count that changes with every move.
    int LastMoved() const { return m_nLastMoved; }
    std::uint64_t MoveCount() const { return m_nMoveCount; }
    const std::deque<std::string>& Recent() const { return m_recent; }

private:
    int m_nFirstServo;
    int m_nRange;
    std::array<int, CSscDecoder::SERVOS> m_anPosition{};
    std::array<int, CSscDecoder::SERVOS> m_anMoves{};
    int m_nNotUnderstood = 0;
    int m_nLastMoved = -1;
    std::uint64_t m_nMoveCount = 0;
    std::deque<std::string> m_recent;
};

// The servo's angle from centre in degrees for a position of 0 to 254: 0 at 127, and half the
// range jumper either side at the ends, rounded to the degree.
int PlxServoAngle(int nPosition, int nRange);

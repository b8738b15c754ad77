// How the simulator tells what happened: one line per event, in words or as a JSON object.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "sim/LineWatch.h"
#include "sim/ServoBoard.h"
#include "sim/SscDecoder.h"

class CSimReport {
public:
    CSimReport(std::ostream& out, bool bJson) : m_out(out), m_bJson(bJson) {}

    void Ready(const std::string& sDevice, std::int32_t nPort, const std::string& sEntry,
               bool bReplaced, std::uint32_t nBaud, int nFirstServo, int nRange);
    void Line(const CLineSettings& line);
    // sWhyNot: why a real controller would not have understood it; empty when it would.
    void Event(const CSscEvent& event, int nFirstServo, const std::string& sWhyNot);
    // The end-of-run table: each servo's last understood position and its moves.
    void Summary(const CServoBoard& board, const std::string& sEndedBy);

private:
    void Flush();

    std::ostream& m_out;
    bool m_bJson;
};

// A JSON string literal, quotes included, always valid UTF-8: bytes that are not are written as
// U+FFFD.
std::string PlxJsonString(const std::string& s);

// An event as the log writes it: "move     servo 2 to 150 (1591 us)".
std::string PlxEventLine(const CSscEvent& event, int nFirstServo, const std::string& sWhyNot);

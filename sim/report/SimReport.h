// How the simulator tells what happened: one line per event, in words or as a JSON object, each
// with its time on the wire.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "sim/SimTime.h"
#include "sim/controller/ServoBoard.h"
#include "sim/controller/SscDecoder.h"
#include "sim/line/LineWatch.h"
#include "sim/line/MarkWatch.h"

// What the simulator was started as, for the first line.
struct CSimStart {
    std::string sDevice;
    std::int32_t nPort = 0;
    std::string sEntry;     // empty when not registered
    std::string sReplaced;  // what the entry replaced, in words; empty when it replaced nothing
};

class CSimReport : public CSimSink {
public:
    // rig: the controllers and servos the report speaks of.
    CSimReport(std::ostream& out, bool bJson, const CSimRig& rig)
        : m_out(out), m_bJson(bJson), m_rig(rig) {}

    void Ready(const CSimStart& start);
    void Line(SimTime t, const CLineSettings& line);
    // A mark on the line kept or lifted (nothing for Free or Locked, the everyday states).
    // nHolder and sCommand: the process that has the line open, with Open.
    void Mark(SimTime t, EMark state, pid_t nHolder, const std::string& sCommand);
    // A line discipline other than the terminal's own kept or set back, as marks lists it.
    void Discipline(SimTime t, const CMarkWatch& marks);
    void OnEvent(const CSimEvent& event) override;
    void OnSample(const CMotionSample& /*sample*/) override {}
    void OnRestart(SimTime t, SimTime tUntil) override;
    // The end-of-run table: each servo's commanded position, its shaft and its moves; a shaft
    // never commanded is shown in parentheses, taken to be at neutral. Then the longest a packet
    // waited on the line, and when it came.
    void Summary(const CServoBoard& board, SimTime tEnd, const std::string& sEndedBy);

private:
    void Begin(SimTime t, const char* pszEvent);

    std::ostream& m_out;
    bool m_bJson;
    const CSimRig& m_rig;
};

// A JSON string literal, quotes included, always valid UTF-8: bytes that are not are written as
// U+FFFD.
std::string PlxJsonString(const std::string& s);

// An event as the log writes it, without its time: "move     servo 2 to 150 (1591 us)".
std::string PlxEventLine(const CSscEvent& event, const CSimRig& rig, const std::string& sWhyNot);

// A wait, as the log and the live view give it: how long a packet waited on the line ("behind
// 1.87 s") or the line's backlog ("queued 0.71 s"), "at least" when that is only a bound; empty
// when it was not more than a tenth of a second, the time a person notices.
std::string PlxWaitWords(const char* pszWhat, SimTime tWait, bool bFloor);

#include "sim/report/SimTrace.h"

#include <cstdio>
#include <string>

bool CSimTrace::Open(std::string* pError) {
    if (!m_file.Start(pError)) return false;
    // A board that numbers its outputs apart from the servos (the Maestro's channels) has a column
    // for them.
    const char* pszKind = m_rig.Board().OutputKind();
    m_file.Add("t,servo" + (pszKind != nullptr ? "," + std::string(pszKind) : std::string()) +
               ",commanded,pulse_us,angle_deg\n");
    return true;
}

void CSimTrace::OnSample(const CMotionSample& sample) {
    const CBoardModel& board = m_rig.Board();
    const std::string sNumber = board.OutputKind() != nullptr
                                    ? "," + std::to_string(board.OutputNumber(sample.nOutput))
                                    : std::string();
    char szRow[128];
    const int n =
        std::snprintf(szRow, sizeof(szRow), "%.6f,%d%s,%d,%s,%.1f\n", PlxSeconds(sample.t),
                      board.ServoOf(sample.nOutput), sNumber.c_str(), sample.nCommanded,
                      board.PulseText(sample.nCommanded).c_str(), board.AngleAt(sample.dPosition));
    // One piece a row, so that a file cut short ends at a whole one; handed over at once, so that
    // a reader sees the rows as they come.
    if (n > 0 && static_cast<std::size_t>(n) < sizeof(szRow)) m_file.Add(szRow);
}

#include "sim/report/SimTrace.h"

#include <cstdio>

bool CSimTrace::Open(std::string* pError) {
    if (!m_file.Start(pError)) return false;
    m_file.Add("t,servo,commanded,pulse_us,angle_deg\n");
    return true;
}

void CSimTrace::OnSample(const CMotionSample& sample) {
    char szRow[96];
    const int n = std::snprintf(szRow, sizeof(szRow), "%.6f,%d,%d,%d,%.1f\n", PlxSeconds(sample.t),
                                sample.nServo, sample.nCommanded,
                                CSscDecoder::PulseWidthUs(sample.nCommanded, m_rig.nRange),
                                PlxServoAngle(sample.dPosition, m_rig.nRange));
    // One piece a row, so that a file cut short ends at a whole one; handed over at once, so that
    // a reader sees the rows as they come.
    if (n > 0 && static_cast<std::size_t>(n) < sizeof(szRow)) m_file.Add(szRow);
}

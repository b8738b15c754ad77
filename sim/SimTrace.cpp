#include "sim/SimTrace.h"

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
                                CSscDecoder::PulseWidthUs(sample.nCommanded, m_nRange),
                                PlxServoAngle(sample.dPosition, m_nRange));
    if (n > 0 && static_cast<std::size_t>(n) < sizeof(szRow)) m_sRows.append(szRow);
}

void CSimTrace::Flush() {
    // One piece a row, so that a file cut short ends at a whole one.
    for (std::size_t nStart = 0; nStart < m_sRows.size();) {
        const std::size_t nEnd = m_sRows.find('\n', nStart) + 1;
        m_file.Add(m_sRows.substr(nStart, nEnd - nStart));
        nStart = nEnd;
    }
    m_sRows.clear();
}

bool CSimTrace::Close(std::chrono::steady_clock::time_point tDeadline, std::string* pError) {
    Flush();
    return m_file.Finish(tDeadline, pError);
}

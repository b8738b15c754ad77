#include "sim/ServoBoard.h"

#include <cmath>

#include "sim/SimReport.h"

void CServoBoard::Take(const CSscEvent& event, const std::string& sWhyNot) {
    if (!sWhyNot.empty()) ++m_nNotUnderstood;
    if (event.kind == CSscEvent::EKind::Move && sWhyNot.empty()) {
        const int i = event.nServo - m_nFirstServo;
        m_anPosition[static_cast<std::size_t>(i)] = event.nPosition;
        ++m_anMoves[static_cast<std::size_t>(i)];
        m_nLastMoved = i;
        ++m_nMoveCount;
        return;
    }
    m_recent.push_back(PlxEventLine(event, m_nFirstServo, sWhyNot));
    if (m_recent.size() > RECENT) m_recent.pop_front();
}

int PlxServoAngle(int nPosition, int nRange) {
    return static_cast<int>(std::lround((nPosition - 127) * (nRange / 2.0) / 127.0));
}

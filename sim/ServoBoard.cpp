#include "sim/ServoBoard.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

constexpr double kPositionSpan = 254.0;

// The first frame start at or after t.
SimTime FrameAtOrAfter(SimTime t, SimTime tFrame) {
    return (t + tFrame - SimTime(1)) / tFrame * tFrame;
}

}  // namespace

CServoBoard::CServoBoard(int nFirstServo, int nRange, CMotionModel model)
    : m_nFirstServo(nFirstServo), m_nRange(nRange), m_model(model) {}

void CServoBoard::Take(const CSscEvent& event, const std::string& sWhyNot) {
    CSimEvent pending;
    pending.event = event;
    pending.sWhyNot = sWhyNot;
    m_pending.push_back(std::move(pending));
}

double CServoBoard::UnitsPerSecond() const {
    return 60.0 / m_model.dSecondsPer60 * kPositionSpan / m_nRange;
}

double CServoBoard::ShaftAt(int i, SimTime t) const {
    const CServo& s = Servo(i);
    if (s.nCommanded < 0) return NEUTRAL;
    if (t >= s.tArrive) return s.nCommanded;
    if (t <= s.tBegin) return s.dFrom;
    const double dMoved = UnitsPerSecond() * PlxSeconds(t - s.tBegin);
    return s.nCommanded > s.dFrom ? s.dFrom + dMoved : s.dFrom - dMoved;
}

bool CServoBoard::MovingAt(int i, SimTime t) const {
    const CServo& s = Servo(i);
    return s.nCommanded >= 0 && s.tBegin <= t && t < s.tArrive;
}

SimTime CServoBoard::NextFrame() const {
    const SimTime tFrame = m_model.tFrame;
    if (tFrame == SimTime(0)) return m_pending.empty() ? kNever : m_pending.front().event.t;
    SimTime tNext = kNever;
    const SimTime tFollowing = m_tLastFrame < SimTime(0) ? SimTime(0) : m_tLastFrame + tFrame;
    // A shaft on its way is sampled at every frame it passes.
    for (const CServo& s : m_servos)
        if (s.nCommanded >= 0 && s.tArrive > tFollowing) tNext = tFollowing;
    if (!m_pending.empty())
        tNext = std::min(tNext,
                         FrameAtOrAfter(std::max(m_pending.front().event.t, tFollowing), tFrame));
    return tNext;
}

SimTime CServoBoard::NextDue() const {
    SimTime tNext = NextFrame();
    for (const CServo& s : m_servos)
        if (s.bEndDue) tNext = std::min(tNext, s.tArrive);
    return tNext;
}

void CServoBoard::AdvanceTo(SimTime tNow, CSimSink* pSink) {
    for (SimTime tFrame = NextFrame(); tFrame <= tNow && tFrame != kNever; tFrame = NextFrame())
        Frame(tFrame, pSink);
    Arrivals(tNow, pSink);
}

SimTime CServoBoard::Finish(SimTime tEnd, CSimSink* pSink) {
    AdvanceTo(tEnd, pSink);
    if (m_pending.empty()) return tEnd;
    const SimTime tLast =
        FrameAtOrAfter(m_pending.back().event.t, std::max(m_model.tFrame, SimTime(1)));
    AdvanceTo(tLast, pSink);
    return tLast;
}

void CServoBoard::Arrivals(SimTime tUpTo, CSimSink* pSink) {
    for (;;) {
        int nFirst = -1;
        for (int i = 0; i < CSscDecoder::SERVOS; ++i) {
            const CServo& s = Servo(i);
            if (s.bEndDue && s.tArrive <= tUpTo &&
                (nFirst < 0 || s.tArrive < Servo(nFirst).tArrive))
                nFirst = i;
        }
        if (nFirst < 0) return;
        CServo& s = m_servos[static_cast<std::size_t>(nFirst)];
        s.bEndDue = false;
        pSink->OnSample({CMotionSample::EKind::End, s.tArrive, m_nFirstServo + nFirst, s.nCommanded,
                         static_cast<double>(s.nCommanded)});
    }
}

void CServoBoard::Frame(SimTime tFrame, CSimSink* pSink) {
    Arrivals(tFrame, pSink);
    std::vector<CSimEvent> carried;
    while (!m_pending.empty() && m_pending.front().event.t <= tFrame) {
        carried.push_back(std::move(m_pending.front()));
        m_pending.pop_front();
    }
    // Of several commands for one servo before a frame, only the last reaches it.
    std::array<std::size_t, CSscDecoder::SERVOS> last{};
    last.fill(carried.size());
    for (std::size_t n = 0; n < carried.size(); ++n)
        if (carried[n].IsMove())
            last[static_cast<std::size_t>(carried[n].event.nServo - m_nFirstServo)] = n;
    for (std::size_t n = 0; n < carried.size(); ++n) {
        CSimEvent& event = carried[n];
        if (event.IsMove()) {
            const int i = event.event.nServo - m_nFirstServo;
            event.bSuperseded = last[static_cast<std::size_t>(i)] != n;
            if (!event.bSuperseded) Start(i, tFrame, &event, pSink);
        }
        Note(event);
        pSink->OnEvent(event);
    }
    for (int i = 0; i < CSscDecoder::SERVOS; ++i) {
        const CServo& s = Servo(i);
        if (s.nCommanded >= 0 && s.tBegin < tFrame && tFrame < s.tArrive)
            pSink->OnSample({CMotionSample::EKind::Frame, tFrame, m_nFirstServo + i, s.nCommanded,
                             ShaftAt(i, tFrame)});
    }
    Arrivals(tFrame, pSink);  // the jumps this frame made
    m_tLastFrame = tFrame;
}

void CServoBoard::Start(int i, SimTime tFrame, CSimEvent* pEvent, CSimSink* pSink) {
    const double dFrom = ShaftAt(i, tFrame);
    const int nTo = pEvent->event.nPosition;
    const double dDistance = std::abs(nTo - dFrom);
    SimTime tTurn{};
    if (m_model.dSecondsPer60 > 0)
        tTurn = std::chrono::round<SimTime>(
            std::chrono::duration<double>(dDistance / UnitsPerSecond()));
    CServo& s = m_servos[static_cast<std::size_t>(i)];
    pEvent->bFromNeutral = s.nCommanded < 0;
    pEvent->tBegins = tFrame;
    pEvent->dFrom = dFrom;
    pEvent->tArrives = tFrame + tTurn;
    s.nCommanded = nTo;
    s.dFrom = dFrom;
    s.tBegin = tFrame;
    s.tArrive = pEvent->tArrives;
    s.bEndDue = dDistance > 0;  // a move of no distance is one sample, its beginning
    pSink->OnSample({CMotionSample::EKind::Begin, tFrame, m_nFirstServo + i, nTo, dFrom});
}

void CServoBoard::Note(const CSimEvent& event) {
    if (!event.sWhyNot.empty()) ++m_nNotUnderstood;
    if (event.IsMove()) {
        const int i = event.event.nServo - m_nFirstServo;
        ++m_servos[static_cast<std::size_t>(i)].nMoves;
        m_nLastMoved = i;
        ++m_nMoveCount;
        return;
    }
    m_recent.push_back(event);
    if (m_recent.size() > RECENT) m_recent.pop_front();
}

double PlxServoAngle(double dPosition, int nRange) {
    return (dPosition - CServoBoard::NEUTRAL) * (nRange / 2.0) / CServoBoard::NEUTRAL;
}

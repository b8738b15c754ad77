#include "sim/controller/ServoBoard.h"

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

void CServoBoard::Take(const CSscEvent& event, const std::string& sWhyNot) {
    CSimEvent pending;
    pending.event = event;
    pending.sWhyNot = sWhyNot;
    m_pending.push_back(std::move(pending));
}

double CServoBoard::UnitsPerSecond(int nServo) const {
    return 60.0 / m_rig.SecondsPer60(nServo) * kPositionSpan / m_rig.nRange;
}

double CServoBoard::ShaftAt(int nServo, SimTime t) const {
    const CServo& s = Servo(nServo);
    if (s.nCommanded < 0) return NEUTRAL;
    if (t >= s.tArrive) return s.dTo;
    if (t <= s.tBegin) return s.dFrom;
    const double dMoved = UnitsPerSecond(nServo) * PlxSeconds(t - s.tBegin);
    return s.dTo > s.dFrom ? s.dFrom + dMoved : s.dFrom - dMoved;
}

bool CServoBoard::MovingAt(int nServo, SimTime t) const {
    const CServo& s = Servo(nServo);
    return s.nCommanded >= 0 && s.tBegin <= t && t < s.tArrive;
}

SimTime CServoBoard::NextFrame() const {
    const SimTime tFrame = m_rig.Frame();
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
        FrameAtOrAfter(m_pending.back().event.t, std::max(m_rig.Frame(), SimTime(1)));
    AdvanceTo(tLast, pSink);
    return tLast;
}

void CServoBoard::Arrivals(SimTime tUpTo, CSimSink* pSink) {
    for (;;) {
        int nFirst = -1;
        for (int n = 0; n < CSimRig::SERVOS; ++n) {
            const CServo& s = Servo(n);
            if (s.bEndDue && s.tArrive <= tUpTo &&
                (nFirst < 0 || s.tArrive < Servo(nFirst).tArrive))
                nFirst = n;
        }
        if (nFirst < 0) return;
        CServo& s = m_servos[static_cast<std::size_t>(nFirst)];
        s.bEndDue = false;
        pSink->OnSample({CMotionSample::EKind::End, s.tArrive, nFirst, s.nCommanded, s.dTo});
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
    std::array<std::size_t, CSimRig::SERVOS> last{};
    last.fill(carried.size());
    for (std::size_t n = 0; n < carried.size(); ++n)
        if (carried[n].IsMove()) last[static_cast<std::size_t>(carried[n].event.nServo)] = n;
    for (std::size_t n = 0; n < carried.size(); ++n) {
        CSimEvent& event = carried[n];
        if (event.IsMove()) {
            const int nServo = event.event.nServo;
            event.bSuperseded = last[static_cast<std::size_t>(nServo)] != n;
            if (!event.bSuperseded) Start(nServo, tFrame, &event, pSink);
        }
        Note(event);
        pSink->OnEvent(event);
    }
    for (int n = 0; n < CSimRig::SERVOS; ++n) {
        const CServo& s = Servo(n);
        if (s.nCommanded >= 0 && s.tBegin < tFrame && tFrame < s.tArrive)
            pSink->OnSample(
                {CMotionSample::EKind::Frame, tFrame, n, s.nCommanded, ShaftAt(n, tFrame)});
    }
    Arrivals(tFrame, pSink);  // the jumps this frame made
    m_tLastFrame = tFrame;
}

void CServoBoard::Start(int nServo, SimTime tFrame, CSimEvent* pEvent, CSimSink* pSink) {
    const double dFrom = ShaftAt(nServo, tFrame);
    const int nTo = pEvent->event.nPosition;
    CServo& s = m_servos[static_cast<std::size_t>(nServo)];
    pEvent->tBegins = tFrame;
    pEvent->dFrom = dFrom;
    // The position the controller already puts out changes no pulse: the servo cannot tell it
    // came, and a shaft on its way goes on, whatever its dead band.
    if (nTo == s.nCommanded && MovingAt(nServo, tFrame)) {
        pEvent->tArrives = s.tArrive;
        return;
    }
    // The servo's own electronics hold the shaft where it is while the pulse they are given
    // differs from the one the shaft stands for by less than the dead band.
    const double dPulseChange = std::abs(CSscDecoder::PulseWidthAt(nTo, m_rig.nRange) -
                                         CSscDecoder::PulseWidthAt(dFrom, m_rig.nRange));
    pEvent->bWithinDeadBand = dPulseChange < m_rig.Model(nServo).nDeadBandUs;
    const double dTo = pEvent->bWithinDeadBand ? dFrom : nTo;
    const double dDistance = std::abs(dTo - dFrom);
    SimTime tTurn{};
    if (m_rig.SecondsPer60(nServo) > 0)
        tTurn = std::chrono::round<SimTime>(
            std::chrono::duration<double>(dDistance / UnitsPerSecond(nServo)));
    pEvent->bFromNeutral = s.nCommanded < 0;
    pEvent->tArrives = tFrame + tTurn;
    s.nCommanded = nTo;
    s.dFrom = dFrom;
    s.dTo = dTo;
    s.tBegin = tFrame;
    s.tArrive = pEvent->tArrives;
    s.bEndDue = dDistance > 0;  // a move of no distance is one sample, its beginning
    pSink->OnSample({CMotionSample::EKind::Begin, tFrame, nServo, nTo, dFrom});
}

void CServoBoard::Note(const CSimEvent& event) {
    if (!event.sWhyNot.empty()) ++m_nNotUnderstood;
    m_tBehind = event.event.tBehind;
    // The first event is the most behind so far even when nothing waited behind it.
    if (!m_bAnyEvent || m_tBehind > m_tMostBehind) {
        m_tMostBehind = m_tBehind;
        m_tMostBehindAt = event.event.t;
    }
    m_bAnyEvent = true;
    if (event.IsMove()) {
        const int nServo = event.event.nServo;
        ++m_servos[static_cast<std::size_t>(nServo)].nMoves;
        m_nLastMoved = nServo;
        ++m_nMoveCount;
        return;
    }
    m_recent.push_back(event);
    if (m_recent.size() > RECENT) m_recent.pop_front();
}

double PlxServoAngle(double dPosition, int nRange) {
    return (dPosition - CServoBoard::NEUTRAL) * (nRange / 2.0) / CServoBoard::NEUTRAL;
}

#include "sim/controller/ServoBoard.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

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

double CServoBoard::UnitsPerSecond(int nOutput) const {
    return 60.0 / m_rig.SecondsPer60(nOutput) / m_rig.Board().DegreesPerStep();
}

double CServoBoard::ShaftAt(int nOutput, SimTime t) const {
    const CServo& s = Servo(nOutput);
    if (s.nCommanded < 0) return s.bStopped ? s.dTo : NEUTRAL;
    if (t >= s.tArrive) return s.dTo;
    if (t <= s.tBegin) return s.dFrom;
    const double dMoved = UnitsPerSecond(nOutput) * PlxSeconds(t - s.tBegin);
    return s.dTo > s.dFrom ? s.dFrom + dMoved : s.dFrom - dMoved;
}

bool CServoBoard::MovingAt(int nOutput, SimTime t) const {
    const CServo& s = Servo(nOutput);
    return s.nCommanded >= 0 && s.tBegin <= t && t < s.tArrive;
}

SimTime CServoBoard::NextFrame() const {
    const SimTime tFrame = m_rig.Frame();
    if (tFrame == SimTime(0)) return m_pending.empty() ? kNever : m_pending.front().event.t;
    SimTime tNext = kNever;
    const SimTime tFollowing = m_tLastFrame < SimTime(0) ? SimTime(0) : m_tLastFrame + tFrame;
    // A shaft on its way is sampled at every frame it passes.
    for (int n = 0; n < m_nOutputs; ++n)
        if (Servo(n).nCommanded >= 0 && Servo(n).tArrive > tFollowing) tNext = tFollowing;
    if (!m_pending.empty())
        tNext = std::min(tNext,
                         FrameAtOrAfter(std::max(m_pending.front().event.t, tFollowing), tFrame));
    return tNext;
}

SimTime CServoBoard::NextDue() const {
    SimTime tNext = NextFrame();
    for (int n = 0; n < m_nOutputs; ++n)
        if (Servo(n).bEndDue) tNext = std::min(tNext, Servo(n).tArrive);
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
        for (int n = 0; n < m_nOutputs; ++n) {
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
    std::array<std::size_t, CBoardModel::MAX_OUTPUTS> last{};
    last.fill(carried.size());
    for (std::size_t n = 0; n < carried.size(); ++n)
        if (carried[n].IsMove()) last[static_cast<std::size_t>(carried[n].event.nOutput)] = n;
    for (std::size_t n = 0; n < carried.size(); ++n) {
        CSimEvent& event = carried[n];
        if (event.IsMove()) {
            const int nOutput = event.event.nOutput;
            event.bSuperseded = last[static_cast<std::size_t>(nOutput)] != n;
            if (!event.bSuperseded) Start(nOutput, tFrame, &event, pSink);
        }
        Note(event);
        pSink->OnEvent(event);
    }
    for (int n = 0; n < m_nOutputs; ++n) {
        const CServo& s = Servo(n);
        if (s.nCommanded >= 0 && s.tBegin < tFrame && tFrame < s.tArrive)
            pSink->OnSample(
                {CMotionSample::EKind::Frame, tFrame, n, s.nCommanded, ShaftAt(n, tFrame)});
    }
    Arrivals(tFrame, pSink);  // the jumps this frame made
    m_tLastFrame = tFrame;
}

void CServoBoard::Start(int nOutput, SimTime tFrame, CSimEvent* pEvent, CSimSink* pSink) {
    const double dFrom = ShaftAt(nOutput, tFrame);
    const int nTo = pEvent->event.nPosition;
    CServo& s = m_servos[static_cast<std::size_t>(nOutput)];
    pEvent->tBegins = tFrame;
    pEvent->dFrom = dFrom;
    // The position the controller already puts out changes no pulse: the servo cannot tell it
    // came, and a shaft on its way goes on, whatever its dead band.
    if (nTo == s.nCommanded && MovingAt(nOutput, tFrame)) {
        pEvent->tArrives = s.tArrive;
        return;
    }
    // The servo's own electronics hold the shaft where it is while the pulse they are given
    // differs from the one the shaft stands for by less than the dead band.
    const CBoardModel& board = m_rig.Board();
    const double dPulseChange = std::abs(board.PulseAt(nTo) - board.PulseAt(dFrom));
    pEvent->bWithinDeadBand = dPulseChange < m_rig.Model(nOutput).nDeadBandUs;
    const double dTo = pEvent->bWithinDeadBand ? dFrom : nTo;
    const double dDistance = std::abs(dTo - dFrom);
    SimTime tTurn{};
    if (m_rig.SecondsPer60(nOutput) > 0)
        tTurn = std::chrono::round<SimTime>(
            std::chrono::duration<double>(dDistance / UnitsPerSecond(nOutput)));
    pEvent->bFromNeutral = !ShaftKnown(nOutput);
    pEvent->tArrives = tFrame + tTurn;
    s.nCommanded = nTo;
    s.dFrom = dFrom;
    s.dTo = dTo;
    s.tBegin = tFrame;
    s.tArrive = pEvent->tArrives;
    s.bEndDue = dDistance > 0;  // a move of no distance is one sample, its beginning
    pSink->OnSample({CMotionSample::EKind::Begin, tFrame, nOutput, nTo, dFrom});
}

void CServoBoard::Restart(SimTime t, CSimSink* pSink) {
    AdvanceTo(t, pSink);
    pSink->OnRestart(t, t + m_rig.Restart());
    for (CSimEvent& pending : m_pending) pending.event.bLost = true;
    for (int n = 0; n < m_nOutputs; ++n) {
        CServo& s = m_servos[static_cast<std::size_t>(n)];
        if (s.nCommanded < 0) continue;
        const double dShaft = ShaftAt(n, t);
        // A shaft on its way stops where the restart finds it.
        if (s.bEndDue) pSink->OnSample({CMotionSample::EKind::End, t, n, s.nCommanded, dShaft});
        s.nCommanded = -1;
        s.dFrom = s.dTo = dShaft;
        s.tBegin = s.tArrive = t;
        s.bEndDue = false;
        s.bStopped = true;
    }
}

void CServoBoard::Note(const CSimEvent& event) {
    const bool bPacket =
        event.event.kind == CSscEvent::EKind::Move || event.event.kind == CSscEvent::EKind::Ignored;
    if (event.event.bLost && bPacket) ++m_nLost;
    if (!event.event.bLost && !event.sWhyNot.empty()) ++m_nNotUnderstood;
    m_tBehind = event.event.tBehind;
    m_bBehindFloor = event.event.bBehindFloor;
    m_tQueued = event.event.tQueued;
    m_bQueuedFloor = event.event.bQueuedFloor;
    m_bMostBehindFloor = m_bMostBehindFloor || m_bBehindFloor;
    // The first event is the most behind so far however little it waited.
    if (!m_bAnyEvent || m_tBehind > m_tMostBehind) {
        m_tMostBehind = m_tBehind;
        m_tMostBehindAt = event.event.t;
    }
    m_bAnyEvent = true;
    if (event.IsMove()) {
        const int nOutput = event.event.nOutput;
        ++m_servos[static_cast<std::size_t>(nOutput)].nMoves;
        m_nLastMoved = nOutput;
        ++m_nMoveCount;
        return;
    }
    m_recent.push_back(event);
    if (m_recent.size() > RECENT) m_recent.pop_front();
}

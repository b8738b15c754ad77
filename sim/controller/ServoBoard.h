// What the simulated board does with what it decodes. It puts out each output's pulse every frame
// (20 ms); a new position takes effect at the start of the next frame, and from there the servo's
// shaft turns toward it at its model's speed, unless the pulse changed by less than the model's
// dead band. What came over the line that a real controller would not have understood moves
// nothing and is kept apart.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/SimTime.h"
#include "sim/controller/SimRig.h"
#include "sim/controller/SscDecoder.h"

// A decoded event as the controller acted on it.
struct CSimEvent {
    CSscEvent event;
    std::string sWhyNot;  // why a real controller would not have understood it; empty when it would
    // A move the controller understood, once its frame came:
    bool bSuperseded = false;   // another for the servo came first, so this one never took effect
    bool bFromNeutral = false;  // the servo's first: its shaft is taken to start at neutral
    bool bWithinDeadBand = false;  // the pulse changed too little to turn the shaft
    SimTime tBegins{};             // the frame start that carried it
    double dFrom = 0;              // the shaft's position then, 0-254
    SimTime tArrives{};  // when the shaft reaches the commanded position; tBegins when it stays

    bool IsMove() const {
        return event.kind == CSscEvent::EKind::Move && sWhyNot.empty() && !event.bLost;
    }
};

// Where one servo's shaft is at one moment.
struct CMotionSample {
    enum class EKind {
        Begin,  // a move begins
        Frame,  // a frame while it moves
        End,    // the shaft has arrived
    };
    EKind kind = EKind::Begin;
    SimTime t{};
    int nOutput = 0;  // the board's output
    int nCommanded = 0;
    double dPosition = 0;  // the shaft, 0-254
};

// Hears what the board makes known: events in the order they arrived, samples in time order.
class CSimSink {
public:
    virtual ~CSimSink() = default;
    virtual void OnEvent(const CSimEvent& event) = 0;
    virtual void OnSample(const CMotionSample& sample) = 0;
    // The board restarted at t, its port opened, and takes nothing until tUntil.
    virtual void OnRestart(SimTime /*t*/, SimTime /*tUntil*/) {}
};

// Every sink added, in the order they were added.
class CSimSinks : public CSimSink {
public:
    void Add(CSimSink* pSink) { m_sinks.push_back(pSink); }
    void OnEvent(const CSimEvent& event) override {
        for (CSimSink* pSink : m_sinks) pSink->OnEvent(event);
    }
    void OnSample(const CMotionSample& sample) override {
        for (CSimSink* pSink : m_sinks) pSink->OnSample(sample);
    }
    void OnRestart(SimTime t, SimTime tUntil) override {
        for (CSimSink* pSink : m_sinks) pSink->OnRestart(t, tUntil);
    }

private:
    std::vector<CSimSink*> m_sinks;
};

class CServoBoard {
public:
    static constexpr std::size_t RECENT = 4;  // notes kept for the live view
    static constexpr int NEUTRAL = 127;

    // rig: the board and its servos, read as the board runs.
    explicit CServoBoard(const CSimRig& rig) : m_rig(rig), m_nOutputs(rig.Board().Outputs()) {}

    // One decoded event; sWhyNot non-empty when the controller could not have understood it.
    // It waits for the frame that carries it.
    void Take(const CSscEvent& event, const std::string& sWhyNot);
    // Runs the controller up to tNow: each frame start by then carries the commands that came
    // before it, and pSink hears of every event and motion sample up to then.
    void AdvanceTo(SimTime tNow, CSimSink* pSink);
    // At the end: up to tEnd, and on to the frame that carries what is still waiting. The time
    // reached.
    SimTime Finish(SimTime tEnd, CSimSink* pSink);
    // When AdvanceTo next has something to do; kNever while nothing waits or moves.
    SimTime NextDue() const;
    // The board restarts at t (a program opened its port), after the frames before it: no output
    // puts out a pulse from then on, each shaft stops where it is, and the commands that had not
    // yet taken effect are lost; pSink hears of it.
    void Restart(SimTime t, CSimSink* pSink);

    const CSimRig& Rig() const { return m_rig; }
    // Servos by the board's output they are on. The commanded position in effect; -1 before the
    // first.
    int Commanded(int nOutput) const { return Servo(nOutput).nCommanded; }
    // The shaft at t, no earlier than the last AdvanceTo: 0-254, neutral before any command.
    double ShaftAt(int nOutput, SimTime t) const;
    // Whether where the shaft is is known, not taken to be neutral: once commanded, even if a
    // restart has left it without a pulse.
    bool ShaftKnown(int nOutput) const {
        return Servo(nOutput).nCommanded >= 0 || Servo(nOutput).bStopped;
    }
    bool MovingAt(int nOutput, SimTime t) const;
    // Understood commands for the servo, those another overtook included.
    int Moves(int nOutput) const { return Servo(nOutput).nMoves; }
    int NotUnderstood() const { return m_nNotUnderstood; }
    // Packets that came while the board restarted.
    int Lost() const { return m_nLost; }
    // The output that was commanded last, and a count that changes with every command.
    int LastMoved() const { return m_nLastMoved; }
    std::uint64_t MoveCount() const { return m_nMoveCount; }
    // Anything but an understood move, for the live view.
    const std::deque<CSimEvent>& Recent() const { return m_recent; }
    // The last event: how long its packet waited on the line, whether that is only a bound, and
    // the line's backlog when it was taken, and whether that is.
    SimTime Behind() const { return m_tBehind; }
    bool BehindFloor() const { return m_bBehindFloor; }
    SimTime Queued() const { return m_tQueued; }
    bool QueuedFloor() const { return m_bQueuedFloor; }
    // The packet that waited longest, with when its last byte arrived; whether any wait was only
    // a bound (then so is the most); whether any event came at all.
    SimTime MostBehind() const { return m_tMostBehind; }
    SimTime MostBehindAt() const { return m_tMostBehindAt; }
    bool MostBehindFloor() const { return m_bMostBehindFloor; }
    bool AnyEvent() const { return m_bAnyEvent; }

private:
    struct CServo {
        int nCommanded = -1;
        double dFrom = NEUTRAL;  // where the shaft's current move began
        double dTo = NEUTRAL;    // and where it ends: the commanded position, unless it stays
        SimTime tBegin{};
        SimTime tArrive{};
        bool bEndDue = false;   // its arrival not yet told
        bool bStopped = false;  // a restart left it without a pulse, its shaft where it was
        int nMoves = 0;
    };
    const CServo& Servo(int nOutput) const { return m_servos[static_cast<std::size_t>(nOutput)]; }
    SimTime NextFrame() const;
    void Frame(SimTime tFrame, CSimSink* pSink);
    void Start(int nOutput, SimTime tFrame, CSimEvent* pEvent, CSimSink* pSink);
    void Arrivals(SimTime tUpTo, CSimSink* pSink);
    void Note(const CSimEvent& event);
    double UnitsPerSecond(int nOutput) const;

    const CSimRig& m_rig;
    int m_nOutputs;
    std::array<CServo, CBoardModel::MAX_OUTPUTS> m_servos{};
    std::deque<CSimEvent> m_pending;
    SimTime m_tLastFrame{-1};
    int m_nNotUnderstood = 0;
    int m_nLost = 0;
    int m_nLastMoved = -1;
    std::uint64_t m_nMoveCount = 0;
    std::deque<CSimEvent> m_recent;
    SimTime m_tBehind{};
    bool m_bBehindFloor = false;
    SimTime m_tQueued{};
    bool m_bQueuedFloor = false;
    SimTime m_tMostBehind{};
    SimTime m_tMostBehindAt{};
    bool m_bMostBehindFloor = false;
    bool m_bAnyEvent = false;
};

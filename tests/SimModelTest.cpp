// The simulated controller's time, driven by a clock of the tests' own: the paced line, the
// frames and the servos' motion, and how often it looks for a stale exclusive mark.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <utility>

#include "sim/MarkWatch.h"
#include "sim/PacedLine.h"
#include "sim/ServoBoard.h"
#include "tests/TestSupport.h"

namespace {

using namespace std::chrono_literals;

// What the board told, as short text.
class CRecorder : public CSimSink {
public:
    void OnEvent(const CSimEvent& e) override {
        char sz[160];
        if (!e.IsMove())
            std::snprintf(sz, sizeof(sz), "%.3f %d %d not understood", Ms(e.event.t),
                          e.event.nServo, e.event.nPosition);
        else if (e.bSuperseded)
            std::snprintf(sz, sizeof(sz), "%.3f %d %d superseded", Ms(e.event.t), e.event.nServo,
                          e.event.nPosition);
        else
            std::snprintf(sz, sizeof(sz), "%.3f %d %d begins %.3f from %.2f%s arrives %.3f",
                          Ms(e.event.t), e.event.nServo, e.event.nPosition, Ms(e.tBegins), e.dFrom,
                          e.bFromNeutral ? " (neutral)" : "", Ms(e.tArrives));
        m_events.emplace_back(sz);
    }
    void OnSample(const CMotionSample& s) override {
        const char* const kKinds[] = {"begin", "frame", "end"};
        char sz[96];
        std::snprintf(sz, sizeof(sz), "%s %.3f %d %d %.2f", kKinds[static_cast<int>(s.kind)],
                      Ms(s.t), s.nServo, s.nCommanded, s.dPosition);
        m_samples.emplace_back(sz);
    }
    // Everything told since last asked.
    std::vector<std::string> Events() { return std::exchange(m_events, {}); }
    std::vector<std::string> Samples() { return std::exchange(m_samples, {}); }

private:
    static double Ms(SimTime t) { return PlxSeconds(t) * 1000; }
    std::vector<std::string> m_events, m_samples;
};

using Texts = std::vector<std::string>;

CSscEvent Move(int nServo, int nPosition, SimTime t) {
    CSscEvent event;
    event.nServo = nServo;
    event.nPosition = nPosition;
    event.nPulseUs = CSscDecoder::PulseWidthUs(nPosition, 90);
    event.t = t;
    return event;
}

TEST(PacedLine, TakesBytesNoFasterThanTheLineCarriesThem) {
    CLineSettings line;  // 9600 8N1: 10 bits a byte
    line.nBaud = 9600;
    const SimTime tByte = PlxByteTime(line, 9600);
    EXPECT_EQ(tByte, 1041667ns);
    CLineSettings slow = line;  // 2400 8E2: 12 bits
    slow.nBaud = 2400;
    slow.cParity = 'E';
    slow.nStopBits = 2;
    EXPECT_EQ(PlxByteTime(slow, 9600), 5ms);
    slow.nBaud = 0;  // B0: the jumper's speed
    EXPECT_EQ(PlxByteTime(slow, 9600), 1250000ns);

    CPacedLine paced(false);
    const std::vector<std::uint8_t> packets = Bytes({0xFF, 2, 150, 0xFF, 3, 200});
    EXPECT_EQ(paced.Room(tByte), 64u);  // read ahead of the wire only a little
    paced.Arrive(packets.data(), packets.size(), 0ms, tByte);
    EXPECT_EQ(paced.Room(tByte), 58u);
    std::vector<CWireByte> wire;
    paced.Take(3 * tByte - 1ns, &wire);
    EXPECT_EQ(wire.size(), 2u);  // the third stop bit is not in yet
    EXPECT_EQ(paced.NextDue(), 3 * tByte);
    paced.Take(1s, &wire);
    ASSERT_EQ(wire.size(), 6u);
    for (std::size_t i = 0; i < wire.size(); ++i) {
        EXPECT_EQ(wire[i].nByte, packets[i]);
        EXPECT_EQ(wire[i].tDone, static_cast<int>(i + 1) * tByte);
    }
    // An idle line carries the next byte when it comes; one that comes while it is busy waits.
    paced.Arrive(packets.data(), 1, 100ms, tByte);
    paced.Arrive(packets.data() + 1, 1, 100ms + tByte / 2, tByte);
    wire.clear();
    paced.Take(1s, &wire);
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].tDone, 100ms + tByte);
    EXPECT_EQ(wire[1].tDone, 100ms + 2 * tByte);
    EXPECT_EQ(paced.NextDue(), kNever);

    CPacedLine instant(true);  // --instant: as they come
    instant.Arrive(packets.data(), packets.size(), 7ms, tByte);
    wire.clear();
    instant.Take(7ms, &wire);
    ASSERT_EQ(wire.size(), 6u);
    EXPECT_EQ(wire.back().tDone, 7ms);
}

TEST(ServoBoard, ACommandTakesEffectAtTheNextFrameAndTheShaftTurnsAtItsSpeed) {
    CServoBoard board(0, 90);  // 20 ms frames, 60 degrees in 0.19 s
    CRecorder told;
    board.Take(Move(2, 150, 5ms), "");
    board.AdvanceTo(19ms, &told);
    EXPECT_EQ(told.Events(), Texts{});
    EXPECT_EQ(board.NextDue(), 20ms);
    EXPECT_EQ(board.Commanded(2), -1);
    EXPECT_EQ(board.ShaftAt(2, 19ms), CServoBoard::NEUTRAL);
    board.AdvanceTo(30ms, &told);
    // 23 steps of 90/254 degrees at 60 degrees per 0.19 s: 25.807 ms.
    EXPECT_EQ(told.Events(),
              Texts{"5.000 2 150 begins 20.000 from 127.00 (neutral) arrives 45.807"});
    EXPECT_TRUE(board.MovingAt(2, 30ms));
    EXPECT_NEAR(board.ShaftAt(2, 30ms), 127 + 891.228 * 0.010, 0.001);
    board.AdvanceTo(1s, &told);
    EXPECT_EQ(told.Samples(), (Texts{"begin 20.000 2 150 127.00", "frame 40.000 2 150 144.82",
                                     "end 45.807 2 150 150.00"}));
    EXPECT_FALSE(board.MovingAt(2, 1s));
    EXPECT_EQ(board.ShaftAt(2, 1s), 150);
    EXPECT_EQ(board.NextDue(), kNever);
}

TEST(ServoBoard, OnlyTheLastCommandBeforeAFrameCountsAndANewOneTurnsFromWhereTheShaftIs) {
    CServoBoard board(0, 90);
    CRecorder told;
    board.Take(Move(1, 254, 1ms), "");
    board.Take(Move(1, 0, 4ms), "");
    board.Take(Move(3, 10, 6ms), "line at 4800 baud, controller at 9600");
    board.Take(Move(1, 200, 25ms), "");
    board.AdvanceTo(20ms, &told);
    EXPECT_EQ(told.Events(), (Texts{"1.000 1 254 superseded",
                                    "4.000 1 0 begins 20.000 from 127.00 (neutral) arrives 162.500",
                                    "6.000 3 10 not understood"}));
    EXPECT_EQ(board.Commanded(3), -1);  // what was not understood moves nothing
    EXPECT_EQ(board.NotUnderstood(), 1);
    EXPECT_EQ(board.Recent().size(), 1u);
    EXPECT_EQ(board.Moves(1), 2);
    board.AdvanceTo(1s, &told);
    EXPECT_EQ(told.Events(), Texts{"25.000 1 200 begins 40.000 from 109.18 arrives 141.909"});
    EXPECT_EQ(told.Samples(), (Texts{"begin 20.000 1 0 127.00", "begin 40.000 1 200 109.18",
                                     "frame 60.000 1 200 127.00", "frame 80.000 1 200 144.82",
                                     "frame 100.000 1 200 162.65", "frame 120.000 1 200 180.47",
                                     "frame 140.000 1 200 198.30", "end 141.909 1 200 200.00"}));

    // At speed 0 the shaft jumps at the frame; --instant has no frames either.
    for (const CMotionModel& model : {CMotionModel{20ms, 0}, CMotionModel{0ms, 0}}) {
        CServoBoard jumping(0, 90, model);
        jumping.Take(Move(2, 150, 3ms), "");
        jumping.AdvanceTo(1s, &told);
        const std::string sAt = model.tFrame == 0ms ? "3.000" : "20.000";
        EXPECT_EQ(told.Events(),
                  Texts{"3.000 2 150 begins " + sAt + " from 127.00 (neutral) arrives " + sAt});
        EXPECT_EQ(told.Samples(),
                  (Texts{"begin " + sAt + " 2 150 127.00", "end " + sAt + " 2 150 150.00"}));
    }
}

TEST(MarkWatch, LooksAtMostFourTimesASecondAndKeepsAMarkItCannotAccountFor) {
    CPseudoTerminal pty;
    // Another program marks the line without a lock and keeps it open.
    CFd other(::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_EQ(::ioctl(other.Get(), TIOCEXCL), 0);
    auto Marked = [&] {
        int nExclusive = 0;
        return ::ioctl(pty.Slave(), TIOCGEXCL, &nExclusive) == 0 && nExclusive != 0;
    };
    // Its /proc entry: open files that cannot be read (another user's), then a process gone.
    CTempDir proc;
    std::filesystem::create_directories(proc.Path() + "/4242");
    std::ofstream(proc.Path() + "/4242/fd") << "not a folder that can be read";
    CMarkWatch watch(pty.Slave(), proc.Path());
    EXPECT_TRUE(watch.Look(0ms));  // something to say
    EXPECT_EQ(watch.Scans(), 1u);
    EXPECT_EQ(watch.State(), EMark::Unknown);
    EXPECT_TRUE(Marked());
    for (SimTime t : {1ms, 100ms, 249ms}) EXPECT_FALSE(watch.Look(t));
    EXPECT_EQ(watch.Scans(), 1u);     // not on every pass of the loop
    EXPECT_FALSE(watch.Look(250ms));  // the same again: nothing new to say
    std::filesystem::remove(proc.Path() + "/4242/fd");
    EXPECT_TRUE(watch.Look(500ms));
    EXPECT_EQ(watch.Scans(), 3u);
    EXPECT_EQ(watch.State(), EMark::Lifted);
    EXPECT_FALSE(Marked());  // nobody has it open now

    // One whose open files show the line keeps its mark, and is named, before one that cannot
    // be looked at.
    ASSERT_EQ(::ioctl(other.Get(), TIOCEXCL), 0);
    std::filesystem::create_directories(proc.Path() + "/4243/fd");
    std::filesystem::create_symlink(pty.SlavePath(), proc.Path() + "/4243/fd/5");
    std::ofstream(proc.Path() + "/4242/fd") << "not a folder that can be read";
    EXPECT_TRUE(watch.Look(750ms));
    EXPECT_EQ(watch.Scans(), 4u);
    EXPECT_EQ(watch.State(), EMark::Open);
    EXPECT_EQ(watch.Holder(), 4243);
    EXPECT_TRUE(Marked());
}

}  // namespace

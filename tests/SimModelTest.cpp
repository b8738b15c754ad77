// The simulated controller's time, driven by a clock of the tests' own: the paced line, the
// frames and the servos' motion, how the report and the live view tell them, and how often it
// looks for a stale exclusive mark.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <utility>

#include "sim/controller/Controller.h"
#include "sim/controller/ServoBoard.h"
#include "sim/line/LineBacklog.h"
#include "sim/line/MarkWatch.h"
#include "sim/line/OpenWatch.h"
#include "sim/line/PacedLine.h"
#include "sim/report/LiveView.h"
#include "sim/report/SimPlot.h"
#include "sim/report/SimReport.h"
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
            std::snprintf(sz, sizeof(sz), "%.3f %d %d begins %.3f from %.2f%s arrives %.3f%s",
                          Ms(e.event.t), e.event.nServo, e.event.nPosition, Ms(e.tBegins), e.dFrom,
                          e.bFromNeutral ? " (neutral)" : "", Ms(e.tArrives),
                          e.bWithinDeadBand ? " (dead band)" : "");
        m_events.emplace_back(sz);
    }
    void OnSample(const CMotionSample& s) override {
        const char* const kKinds[] = {"begin", "frame", "end"};
        char sz[96];
        std::snprintf(sz, sizeof(sz), "%s %.3f %d %d %.2f", kKinds[static_cast<int>(s.kind)],
                      Ms(s.t), s.nOutput, s.nCommanded, s.dPosition);
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

// A move for a servo of a MINI-SSC II jumpered 0 (servos 0-7 on outputs 0-7) or 0,8.
CSscEvent Move(int nServo, int nPosition, SimTime t, SimTime tBehind = {}) {
    CSscEvent event;
    event.nServo = nServo;
    event.nOutput = nServo;
    event.nPosition = nPosition;
    event.dPulseUs = CSimRig().Board().PulseUs(nPosition);
    event.t = t;
    event.tBehind = tBehind;
    return event;
}

// The report in words and as JSON, both hearing what the board tells.
struct CReports {
    explicit CReports(const CSimRig& rig) : word(words, false, rig), json(jsonText, true, rig) {
        sinks.Add(&word);
        sinks.Add(&json);
    }
    std::ostringstream words, jsonText;
    CSimReport word, json;
    CSimSinks sinks;
};

// Servo 2 an sg90 (0.1 s per 60 degrees at 4.8 V, a dead band of 10 us), 3 an mg996r (0.17 s).
CSimRig MixedRig() { return RigOf({"--servo", "2=sg90", "--servo", "3=mg996r"}); }

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
    const std::vector<CReached> reached(packets.size());  // when is the backlog's to say
    EXPECT_EQ(paced.Room(tByte), 64u);                    // read ahead of the wire only a little
    paced.Arrive(packets.data(), reached.data(), packets.size(), 0ms, tByte);
    EXPECT_EQ(paced.Room(tByte), 58u);
    std::vector<CWireByte> wire;
    paced.Take(3 * tByte - 1ns, &wire);
    ASSERT_EQ(wire.size(), 2u);  // the third stop bit is not in yet
    EXPECT_EQ(wire[0].nAfter, 5u);
    EXPECT_EQ(wire[1].nAfter, 4u);
    EXPECT_EQ(paced.NextDue(), 3 * tByte);
    paced.Take(1s, &wire);
    ASSERT_EQ(wire.size(), 6u);
    for (std::size_t i = 0; i < wire.size(); ++i) {
        EXPECT_EQ(wire[i].nByte, packets[i]);
        EXPECT_EQ(wire[i].tDone, static_cast<int>(i + 1) * tByte);
    }
    // An idle line carries the next byte when it comes; one that comes while it is busy waits.
    paced.Arrive(packets.data(), reached.data(), 1, 100ms, tByte);
    paced.Arrive(packets.data() + 1, reached.data(), 1, 100ms + tByte / 2, tByte);
    wire.clear();
    paced.Take(1s, &wire);
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].tDone, 100ms + tByte);
    EXPECT_EQ(wire[1].tDone, 100ms + 2 * tByte);
    EXPECT_EQ(paced.NextDue(), kNever);

    CPacedLine instant(true);  // --instant: as they come
    instant.Arrive(packets.data(), reached.data(), packets.size(), 7ms, tByte);
    wire.clear();
    instant.Arrive(packets.data(), reached.data(), 3, 8ms, tByte);
    instant.Take(8ms, &wire);
    ASSERT_EQ(wire.size(), 9u);
    EXPECT_EQ(wire[5].tDone, 7ms);
    // What was read at once arrived at once: nothing taken with it waits behind it.
    EXPECT_EQ(wire[0].nAfter, 3u);
    EXPECT_EQ(wire[5].nAfter, 3u);
    EXPECT_EQ(wire[6].nAfter, 0u);
}

TEST(LineBacklog, EachByteWaitsFromWhenItReachedTheLineAndBehindAFullBufferOnlyABoundIsKnown) {
    // 600 packets written at once, taken at 9600 baud and read 64 bytes ahead of the wire as the
    // simulator's loop does: each waits for those before it, the first packet for its own three
    // bytes, the last for all 1800 (1.875 s).
    const SimTime tByte = 1041667ns;
    const std::vector<std::uint8_t> packets(1800, 0xFF);
    CLineBacklog backlog;
    CPacedLine paced(false);
    backlog.Saw(0ms, packets.size());
    std::vector<CWireByte> wire;
    for (SimTime t = 0ms; wire.size() < packets.size(); t = paced.NextDue()) {
        paced.Take(t, &wire);
        const std::size_t nRead = packets.size() - backlog.Waiting();
        std::vector<CReached> reached;
        backlog.Read(std::min(paced.Room(tByte), backlog.Waiting()), t, &reached);
        paced.Arrive(packets.data() + nRead, reached.data(), reached.size(), t, tByte);
    }
    EXPECT_EQ(wire[2].tDone - wire[2].reached.t, 3 * tByte);
    EXPECT_EQ(wire.back().tDone - wire.back().reached.t, 1800 * tByte);
    EXPECT_EQ(backlog.Waiting(), 0u);

    // A pseudo-terminal shows 4095 bytes at most: those that come into view once it was full, or
    // may have been, may have waited unseen before, and so may what the line holds then, until it
    // is seen emptied. The kernel moves them into view some time after each read: a count taken
    // in between shows room that is not there.
    CLineBacklog full;
    std::vector<CReached> reached;
    full.Saw(0ms, 3000);
    full.Saw(10ms, 4095);
    full.Read(64, 20ms, &reached);
    full.Saw(21ms, 4031);  // before the kernel moved more in
    full.Saw(30ms, 4095);  // 64 more came into view
    full.Read(4095, 40ms, &reached);
    full.Saw(50ms, 0);  // empty, though the kernel may not have moved the rest in yet
    EXPECT_TRUE(full.Hidden());
    full.Saw(60ms, 10);
    full.Read(11, 70ms, &reached);  // the last no look counted
    full.Saw(80ms, 0, true);        // emptied: nothing is left beyond
    EXPECT_FALSE(full.Hidden());
    full.Saw(90ms, 5);
    full.Read(5, 100ms, &reached);
    // Never seen full, but 104 came in between two looks that counted 4000 and 4040, with 64 read
    // in between: the buffer filled before the read made room, and more may have waited.
    CLineBacklog filled;
    filled.Saw(0ms, 4000);
    filled.Read(64, 110ms, &reached);
    filled.Saw(120ms, 4040);
    EXPECT_TRUE(filled.Hidden());
    filled.Read(64, 130ms, &reached);
    filled.Saw(140ms, 4040);
    filled.Read(4040, 150ms, &reached);
    ASSERT_EQ(reached.size(), 4175u + 4168u);
    const auto At = [&](std::size_t n) {
        return std::to_string(reached[n].t / 1ms) + (reached[n].bHidden ? "+" : "");
    };
    EXPECT_EQ((Texts{At(0), At(2999), At(3000), At(4094), At(4095), At(4158), At(4159), At(4168),
                     At(4169), At(4170), At(4174)}),
              (Texts{"0", "0", "10", "10", "30+", "30+", "60+", "60+", "70+", "90", "90"}));
    EXPECT_EQ((Texts{At(4175), At(4175 + 3999), At(4175 + 4000), At(4175 + 4103), At(4175 + 4104),
                     At(4175 + 4167)}),
              (Texts{"0", "0", "120", "120", "140+", "140+"}));
}

TEST(ServoBoard, ACommandTakesEffectAtTheNextFrameAndTheShaftTurnsAtItsSpeed) {
    const CSimRig rig;  // 20 ms frames, 60 degrees in 0.19 s
    CServoBoard board(rig);
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
    const CSimRig rig;
    CServoBoard board(rig);
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
    CSimRig jump;
    jump.dSpeed = 0;
    CSimRig instant;
    instant.bInstant = true;
    for (const CSimRig* pRig : {&jump, &instant}) {
        CServoBoard jumping(*pRig);
        jumping.Take(Move(2, 150, 3ms), "");
        jumping.AdvanceTo(1s, &told);
        const std::string sAt = pRig->bInstant ? "3.000" : "20.000";
        EXPECT_EQ(told.Events(),
                  Texts{"3.000 2 150 begins " + sAt + " from 127.00 (neutral) arrives " + sAt});
        EXPECT_EQ(told.Samples(),
                  (Texts{"begin " + sAt + " 2 150 127.00", "end " + sAt + " 2 150 150.00"}));
    }
}

TEST(ServoBoard, EachServoTurnsAtItsModelsSpeedAndADeadBandHoldsItsShaft) {
    const CSimRig rig = MixedRig();
    CServoBoard board(rig);
    CRecorder told;
    board.Take(Move(2, 150, 5ms, 1500ms), "");
    board.Take(Move(3, 150, 5ms, 300ms), "");
    board.AdvanceTo(1s, &told);
    // 23 steps of 90/254 degrees: 13.583 ms at 0.1 s per 60 degrees, 23.091 ms at 0.17.
    EXPECT_EQ(told.Events(),
              (Texts{"5.000 2 150 begins 20.000 from 127.00 (neutral) arrives 33.583",
                     "5.000 3 150 begins 20.000 from 127.00 (neutral) arrives 43.091"}));
    told.Samples();
    // 2 steps are 7.9 us, less than the sg90's dead band: the shaft stays where it is, and the
    // controller puts out the new pulse all the same. 3 steps from where the shaft is, 11.8 us,
    // turn it.
    board.Take(Move(2, 152, 1001ms), "");
    board.AdvanceTo(1500ms, &told);
    EXPECT_EQ(told.Events(),
              Texts{"1001.000 2 152 begins 1020.000 from 150.00 arrives 1020.000 (dead band)"});
    EXPECT_EQ(told.Samples(), Texts{"begin 1020.000 2 152 150.00"});
    EXPECT_EQ(board.Commanded(2), 152);
    EXPECT_EQ(board.ShaftAt(2, 1500ms), 150);
    EXPECT_FALSE(board.MovingAt(2, 1020ms));
    board.Take(Move(2, 153, 2001ms), "");
    board.AdvanceTo(3s, &told);
    EXPECT_EQ(told.Events(), Texts{"2001.000 2 153 begins 2020.000 from 150.00 arrives 2021.772"});
    EXPECT_EQ(board.ShaftAt(2, 3s), 153);
    // How far the commands ran behind: at the last event, and at most with when.
    EXPECT_EQ(board.Behind(), 0ms);
    EXPECT_EQ(board.MostBehind(), 1500ms);
    EXPECT_EQ(board.MostBehindAt(), 5ms);

    // Two commands to servo 2 on a board of one speed for every servo, as --speed gives it.
    CSimRig fast = rig;
    fast.dSpeed = 0.19;
    CSimRig slow = rig;
    slow.dSpeed = 1;
    const auto twoMoves = [&](const CSimRig& fixed, int nFirst, int nSecond, SimTime tSecond) {
        CServoBoard fixedBoard(fixed);
        fixedBoard.Take(Move(2, nFirst, 5ms), "");
        fixedBoard.Take(Move(2, nSecond, tSecond), "");
        fixedBoard.AdvanceTo(1s, &told);
        return fixedBoard;
    };
    // --speed is one speed for every servo, whatever its model; the dead band stays the model's.
    const CServoBoard same = twoMoves(fast, 150, 145, 25ms);
    EXPECT_EQ(told.Events(),
              (Texts{"5.000 2 150 begins 20.000 from 127.00 (neutral) arrives 45.807",
                     "25.000 2 145 begins 40.000 from 144.82 arrives 40.000 (dead band)"}));
    // The position the controller already puts out, again while the shaft is on its way and
    // within the dead band of it, changes no pulse: the shaft goes on.
    const CServoBoard steady = twoMoves(slow, 152, 152, 145ms);
    EXPECT_EQ(told.Events(),
              (Texts{"5.000 2 152 begins 20.000 from 127.00 (neutral) arrives 167.638",
                     "145.000 2 152 begins 160.000 from 150.71 arrives 167.638"}));
    EXPECT_EQ(steady.ShaftAt(2, 1s), 152);
    // Nothing ever waited behind a packet: the most behind is the first's, 0, and when it came.
    EXPECT_EQ(same.MostBehind(), 0ms);
    EXPECT_EQ(same.MostBehindAt(), 5ms);
}

TEST(SimReport, TheModelsTheDeadBandAndHowFarBehindInWordsJsonAndTheLiveView) {
    CSimRig rig = RigOf({"--id", "0,8", "--servo", "2=sg90", "--servo", "3=mg996r"});
    CServoBoard board(rig);
    CReports reports(rig);
    board.Take(Move(2, 150, 5ms, 1871875us), "");  // the last of 600 packets sent at once
    board.Take(Move(2, 151, 1001ms), "");
    board.Take(Move(3, 128, 1002ms), "");  // never commanded, and within the mg996r's 5 us
    // One that waited behind bytes the line did not show, taken with at least 0.3 s of others
    // after it.
    CSscEvent other = Move(16, 1, 1003ms, 500ms);
    other.kind = CSscEvent::EKind::Ignored;
    other.nOutput = -1;
    other.bBehindFloor = true;
    other.tQueued = 300ms;
    other.bQueuedFloor = true;
    board.Take(other, "");
    board.AdvanceTo(2s, &reports.sinks);
    ExpectInOrder(reports.words.str(),
                  {"    0.005  move     servo 2 to 150 (1591 us) sg90, turns from 127.0 (neutral: "
                   "never commanded before) at 0.020, there at 0.034; behind 1.87 s\n",
                   "    1.001  move     servo 2 to 151 (1594 us) sg90, within dead band: stays at "
                   "150.0 from 1.020\n",
                   "    1.002  move     servo 3 to 128 (1504 us) mg996r, within dead band: stays "
                   "at 127.0 (neutral: never commanded before) from 1.020\n",
                   "    1.003  ignored  servo 16 to 1 (not one of servos 0-15); behind at least "
                   "0.50 s\n"});
    ExpectInOrder(
        reports.jsonText.str(),
        {R"(,"arrives":0.033583,"model":"sg90","behind":1.872,"queued":0.000})",
         R"(,"begins":1.020000,"from":150.0,"from_assumed":false,)"
         R"("arrives":1.020000,"within_deadband":true,"model":"sg90",)"
         R"("behind":0.000,"queued":0.000})",
         R"("servo":16,"position":1,"understood":true,"behind":0.500,"behind_floor":true,)"
         R"("queued":0.300,"queued_floor":true})"});
    reports.word.Summary(board, 2s, "SIGINT");
    reports.json.Summary(board, 2s, "SIGINT");
    // One wait known only as a bound makes the most a bound too.
    ExpectInOrder(reports.words.str(), {"   15         -         -   (127.0)         0\n",
                                        "most behind: at least 1.87 s, at 0.005\n"});
    ExpectInOrder(reports.jsonText.str(),
                  {R"({"servo":15,"position":null,)",
                   R"("not_understood":0,"lost":0,"behind_max":1.872,"behind_max_t":0.005000,)"
                   R"("behind_floor":true})"});

    // The live view on 80 by 12: the line's row says what was queued when the last packet was
    // taken and how long that packet waited, each row its servo's model, and the rows that do not
    // fit are counted.
    CLineState line;
    std::vector<std::string> screen;
    for (const CPanelLine& panelLine :
         PlxRenderPanel(board, "COM1 /dev/pts/9", line, 2s, 80, 12, false))
        screen.push_back(panelLine.sText);
    ASSERT_EQ(screen.size(), 12u);
    EXPECT_EQ(screen[0],
              "MINI-SSC II x2 COM1 /dev/pts/9  jumpers: 9600 baud, servos 0-15, 90 deg, 4.8 V");
    EXPECT_EQ(screen[1], "line: ?  queued at least 0.30 s  behind at least 0.50 s");
    EXPECT_EQ(screen[2].substr(screen[2].size() - 5), "model");
    EXPECT_EQ(screen[4].substr(0, 3), " 1 ");
    EXPECT_EQ(screen[4].substr(screen[4].size() - 9), " standard");
    EXPECT_EQ(screen[5].substr(screen[5].size() - 21), "  +8 deg         sg90");
    EXPECT_EQ(screen[2].rfind("model"), screen[5].rfind("sg90"));
    EXPECT_EQ(screen[10],
              " 7 [----------------|----------------]  never commanded, 0 deg assumed standard");
    EXPECT_EQ(screen[11], "8 servos hidden (8-15): the terminal is too short");

    // The chart's title names the models; it, the live view and the ready line give the one speed
    // --speed gives them all in place of the supply.
    EXPECT_EQ(rig.Title(),
              "servos 0-15, 90 deg range, 4.8 V, 0-1,4-15 standard, 2 sg90, 3 mg996r, 9600 baud "
              "jumper");
    rig.dSpeed = 1;
    reports.word.Ready({"/dev/pts/9", 0, "", ""});
    EXPECT_NE(reports.words.str().find(
                  "; paced at the line's speed; every servo turns 60 degrees in 1 s: "
                  "0-1,4-15 standard, 2 sg90 (dead band 10 us), 3 mg996r (dead band "
                  "5 us)\n"),
              std::string::npos)
        << reports.words.str();
    EXPECT_EQ(PlxRenderPanel(board, "COM1 /dev/pts/9", line, 2s, 100, 12, false)[0].sText,
              "MINI-SSC II x2 COM1 /dev/pts/9  jumpers: 9600 baud, servos 0-15, 90 deg, 1 s per 60 "
              "deg");
    EXPECT_EQ(rig.Title(),
              "servos 0-15, 90 deg range, 1 s per 60 deg, 0-1,4-15 standard, 2 sg90, 3 mg996r, "
              "9600 baud jumper");
    // A title too long for the chart's width (many models, spread) is set smaller.
    const CSimPlot plot("", rig);
    EXPECT_NE(plot.Svg(2s, board, "COM1: " + rig.Title()).find(R"(font-size="15.00">COM1: )"),
              std::string::npos);
    EXPECT_NE(plot.Svg(2s, board, std::string(165, 'x')).find(R"(font-size="10.00">xxx)"),
              std::string::npos);
}

TEST(Controller, ABoardRestartedByAnOpenLosesWhatComesMeanwhileAndItsServosStopWithoutAPulse) {
    const CSimRig rig = RigOf({"--resets-on-open", "1.4"});
    CServoBoard board(rig);
    CController controller(rig, board);
    std::ostringstream words;
    CSimReport report(words, false, rig);
    CRecorder told;
    CSimSinks sinks;
    sinks.Add(&report);
    sinks.Add(&told);
    CLineSettings line;
    line.nBaud = 9600;
    const auto Take = [&](const std::vector<std::uint8_t>& bytes, SimTime tDone) {
        CWireByte byte;
        byte.tDone = byte.reached.t = tDone;
        for (std::uint8_t nByte : bytes) {
            byte.nByte = nByte;
            controller.Take(byte, line, 0ms);
        }
    };
    Take(Bytes({0xFF, 2, 150}), 5ms);
    board.AdvanceTo(30ms, &sinks);
    // Opened at 30 ms: servo 2 stops on its way, and the board takes nothing until 1.43 s.
    controller.Opened(30ms, &sinks);
    Take(Bytes({0xFF, 3, 100, 0xFF, 4}), 100ms);
    board.AdvanceTo(1s, &sinks);
    const std::string sRow = PlxRenderPanel(board, "", CLineState(), 1s, 80, 24, false)[5].sText;
    EXPECT_EQ(sRow, " 2 [---------------------|#-------------------]  no pulse: restarted, +3 deg");
    Take(Bytes({10, 0xFF, 2, 200}), 1510ms);
    board.AdvanceTo(2s, &sinks);
    report.Summary(board, 2s, "SIGINT");
    EXPECT_EQ(told.Samples(), (Texts{"begin 20.000 2 150 127.00", "end 30.000 2 150 135.91",
                                     "begin 1520.000 2 200 135.91", "frame 1540.000 2 200 153.74",
                                     "frame 1560.000 2 200 171.56", "frame 1580.000 2 200 189.39",
                                     "end 1591.909 2 200 200.00"}));
    ExpectInOrder(
        words.str(),
        {"    0.030  restart  its port was opened: the board restarts, no output puts out a pulse, "
         "and it takes nothing until 1.430\n",
         "    0.100  lost     servo 3 to 100 (the board was restarting after its port was "
         "opened)\n",
         "    1.510  lost     FF 04 (the board was restarting after its port was opened)\n",
         "    1.510  dropped  0A (no sync byte)\n",
         "    1.510  move     servo 2 to 200 (1787 us), turns from 135.9 at 1.520",
         "1 packet lost while the board restarted after its port was opened\n"});
}

TEST(SimReport, AMaestroNamesItsChannelsBesideTheServosAndWhatItAnswers) {
    const CSimRig rig = RigOf({"--board", "maestro", "--offset", "12", "--channels", "12"});
    CServoBoard board(rig);
    CReports reports(rig);
    CSimPlot plot("", rig);
    reports.sinks.Add(&plot);
    for (CSimReport* pReport : {&reports.word, &reports.json})
        pReport->Ready({"/dev/pts/9", 0, "", ""});
    CSscEvent move = Move(12, 0, 5ms);
    move.nOutput = 0;
    move.dPulseUs = rig.Board().PulseUs(0);
    CSscEvent other = Move(30, 1, 6ms);
    other.kind = CSscEvent::EKind::Ignored;
    other.nOutput = -1;
    board.Take(move, "");
    board.Take(other, "");
    board.AdvanceTo(1s, &reports.sinks);
    for (CSimReport* pReport : {&reports.word, &reports.json})
        pReport->Summary(board, 1s, "SIGINT");
    ExpectInOrder(reports.words.str(),
                  {"Pololu Mini Maestro 12 at 9600 baud, servos 12-23 on channels 0-11 (Mini SSC "
                   "offset 12), listening on /dev/pts/9;",
                   "move     servo 12 (channel 0) to 0 (1023.75 us), turns from 127.0",
                   "ignored  servo 30 to 1 (not one of servos 12-23: the Maestro's channels 0-11 "
                   "at Mini SSC offset 12)\n",
                   "servo  channel  position       pulse     shaft     moves\n"
                   "   12        0         0  1023.75 us       0.0         1\n"});
    ExpectInOrder(reports.jsonText.str(),
                  {R"("board":"maestro","baud":9600,"servos":[12,23],"channels":12,)"
                   R"("offset":12,"autobaud":false,)",
                   R"("servo":12,"channel":0,"position":0,"pulse_us":1023.75,)",
                   R"({"servo":12,"channel":0,"position":0,"pulse_us":1023.75,)"
                   R"("shaft":0.0,)"});
    // The live view numbers its rows by channel; a channel never commanded puts out no pulse.
    const std::vector<CPanelLine> screen =
        PlxRenderPanel(board, "COM1 /dev/pts/9", CLineState(), 1s, 80, 24, false);
    EXPECT_EQ(screen[0].sText,
              "Mini Maestro 12 COM1 /dev/pts/9  servos 12-23 on channels 0-11, "
              "9600 baud");
    EXPECT_EQ(screen[3].sText.substr(0, 4), " 0 [");
    EXPECT_NE(screen[3].sText.find("]    0  1023.75 us   -43 deg"), std::string::npos);
    EXPECT_NE(screen[4].sText.find("no pulse yet, 0 deg assumed"), std::string::npos);
    EXPECT_NE(plot.Svg(1s, board, "").find(">channel 0 shaft<"), std::string::npos);
}

TEST(OpenWatch, OnlyAnOpenThatFindsTheLineOpenByNoOtherIsAFirstOpen) {
    CPseudoTerminal pty;  // its own descriptor on the line, as the simulator's, does not count
    COpenWatch opens;
    std::string sError;
    ASSERT_TRUE(opens.Open(pty.SlavePath(), &sError)) << sError;
    EXPECT_FALSE(opens.FirstOpened());
    const auto Open = [&] { return CFd(::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY)); };
    {
        const CFd holder = Open();
        EXPECT_TRUE(opens.FirstOpened());
        // A second program's open, and its close, while the first holds the line: no DTR rises.
        Open();
        EXPECT_FALSE(opens.FirstOpened());
        EXPECT_EQ(opens.OpenNow(), 1);
        // What an open gave, shared by a copy of it, is closed once.
        CFd copy(::dup(holder.Get()));
    }
    EXPECT_FALSE(opens.FirstOpened());
    EXPECT_EQ(opens.OpenNow(), 0);
    // Every program gone: the next open raises DTR again.
    const CFd again = Open();
    EXPECT_TRUE(opens.FirstOpened());
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

    // A line discipline a program set and left is the same: kept, and named as the kernel names
    // it, while a process has the line open; set back to the terminal's own once none has.
    const int kNull = 27;
    if (::ioctl(other.Get(), TIOCSETD, &kNull) != 0) GTEST_SKIP() << "no n_null in this kernel";
    std::filesystem::create_directories(proc.Path() + "/tty");
    std::ofstream(proc.Path() + "/tty/ldiscs") << "n_tty       0\nn_null     27\n";
    EXPECT_TRUE(watch.Look(1000ms));
    EXPECT_FALSE(watch.MarkChanged());
    EXPECT_TRUE(watch.DisciplineChanged());
    EXPECT_EQ(watch.DisciplineState(), EMark::Open);
    EXPECT_EQ(watch.Discipline(), kNull);
    EXPECT_EQ(watch.DisciplineName(), "n_null");
    EXPECT_FALSE(watch.Look(1250ms));
    std::filesystem::remove_all(proc.Path() + "/4242");
    std::filesystem::remove_all(proc.Path() + "/4243");
    EXPECT_TRUE(watch.Look(1500ms));
    EXPECT_TRUE(watch.MarkChanged() && watch.DisciplineChanged());
    EXPECT_EQ(watch.State(), EMark::Lifted);
    EXPECT_EQ(watch.DisciplineState(), EMark::Lifted);
    int nDiscipline = kNull;
    ASSERT_EQ(::ioctl(pty.Slave(), TIOCGETD, &nDiscipline), 0);
    EXPECT_EQ(nDiscipline, 0);
}

}  // namespace

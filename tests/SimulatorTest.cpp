// plx-ssc-sim as a user runs it, and plx-ssc-test talking to it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <tuple>

#include "serial/PortMap.h"
#include "tests/TestProgram.h"
#include "tests/TestSupport.h"

#ifndef PLX_SSC_SIM_EXE
#error "PLX_SSC_SIM_EXE must name the built simulator"
#endif

namespace {

bool Exists(const std::string& sPath) {
    struct stat st;
    return ::lstat(sPath.c_str(), &st) == 0;
}

int ExitCode(int nStatus) { return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1; }

// A pseudo-terminal's name that no terminal has, as a killed simulator's entry may point to.
std::string GonePts() {
    for (int n = 99999;; --n) {
        const std::string sPath = "/dev/pts/" + std::to_string(n);
        if (!Exists(sPath)) return sPath;
    }
}

// The number after each "sKey": in the lines of the JSON report that have sWith.
std::vector<double> Numbers(const std::string& sJson, const std::string& sKey,
                            const std::string& sWith) {
    std::vector<double> numbers;
    std::istringstream lines(sJson);
    for (std::string sLine; std::getline(lines, sLine);) {
        const std::size_t nAt = sLine.find("\"" + sKey + "\":");
        if (nAt != std::string::npos && sLine.find(sWith) != std::string::npos)
            numbers.push_back(std::atof(sLine.c_str() + nAt + sKey.size() + 3));
    }
    return numbers;
}

// Whether this user can look at every process's open files, as the simulator must to lift a
// mark (root can; an ordinary user cannot see other users' processes).
bool EveryProcessVisible() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string sName = entry.path().filename();
        if (sName.find_first_not_of("0123456789") != std::string::npos) continue;
        DIR* pFds = ::opendir((entry.path() / "fd").c_str());
        if (pFds == nullptr && errno != ENOENT) return false;
        if (pFds != nullptr) ::closedir(pFds);
    }
    return true;
}

// The nth report (from 1) of a --json simulator on what was left on its line, its "mark" or its
// "discipline", once it has come; empty when the simulator ended first.
std::string LeftReport(CProgram& sim, const std::string& sEvent, int n) {
    const std::string kMark = R"({"event":")" + sEvent + R"(",)";
    std::size_t nAt = std::string::npos;
    sim.WaitUntil([&] {
        sim.Shows(kMark);
        nAt = std::string::npos;
        for (int i = 0; i < n; ++i) {
            nAt = sim.Out().find(kMark, nAt == std::string::npos ? 0 : nAt + 1);
            if (nAt == std::string::npos) return false;
        }
        return sim.Out().find('\n', nAt) != std::string::npos;
    });
    return nAt == std::string::npos ? std::string()
                                    : sim.Out().substr(nAt, sim.Out().find('\n', nAt) - nAt);
}

// Whether the line is marked for one program's use: it is when it cannot even be opened.
bool Marked(const std::string& sDevice) {
    int nExclusive = 1;
    CFd look(::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (look.Get() < 0 || ::ioctl(look.Get(), TIOCGEXCL, &nExclusive) != 0) nExclusive = 1;
    return nExclusive != 0;
}

class SimulatorTest : public ::testing::Test {
protected:
    // Waits for the simulator to stand on its line; the device path it reports.
    std::string Ready(CProgram& sim) { return SimulatorDevice(sim); }

    // The line the simulator stands on, opened as a program opens it and set raw at speed.
    CFd RawLine(CProgram& sim, speed_t speed) {
        CFd line(::open(Ready(sim).c_str(), O_RDWR | O_NOCTTY));
        termios tio;
        EXPECT_EQ(::tcgetattr(line.Get(), &tio), 0);
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, speed);
        EXPECT_EQ(::tcsetattr(line.Get(), TCSANOW, &tio), 0);
        return line;
    }

    // Runs plx-ssc-test with piped input to its end.
    void RunTest(const std::string& sInput, int nUid = -1) {
        CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe, {}, nUid);
        program.Type(sInput);
        program.CloseInput();
        EXPECT_EQ(ExitCode(program.Wait()), 0) << program.Err();
    }

    std::string Entry(int nPort) { return m_map.Directory() + "/com" + std::to_string(nPort); }

    // Waits for the simulator to register as COMn; false when it ended first.
    bool WaitForEntry(CProgram& sim, int nPort) {
        return sim.WaitUntil([&] { return Exists(Entry(nPort)); });
    }

    CPortMap m_map;
};

TEST_F(SimulatorTest, APacedSessionKeepsTheWiresTimeAndTheServosMotion) {
    const std::string sTrace = m_map.ConfigHome() + "/trace.csv";
    const std::string sPlot = m_map.ConfigHome() + "/plot.svg";
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe,
                 {"--json", "--port", "3", "--trace", sTrace, "--plot=" + sPlot});
    const std::string sDevice = Ready(sim);
    EXPECT_EQ(PlxLinkTarget(Entry(3)), sDevice);
    RunTest("3\n2 150\n10 13\n1 255\n3 200\n");
    sim.WaitForOutput(R"("servo":3,"position":200)");
    // The end table gives the shafts where they are when the run ends: end it once the trace,
    // written as it goes, shows the last to arrive (servo 3, 25.9 degrees from neutral).
    EXPECT_TRUE(sim.WaitUntil(
        [&] { return ReadFileText(sTrace).find(",3,200,1787,25.9\n") != std::string::npos; }));
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 0) << sim.Err();
    ExpectInOrder(
        sim.Out(),
        {R"({"event":"ready","t":0.000000,"device":")" + sDevice + R"(","port":3,"entry":")" +
             Entry(3) +
             R"(","replaced":false,"board":"minissc2","baud":9600,"servos":[0,7],"range":90,)"
             R"("paced":true,)"
             R"("frame_ms":20,"resets_on_open_s":null,"volts":4.8,"models":[{"model":"standard",)"
             R"("servos":[0,1,2,3,4,5,6,7],"speed_s_per_60":0.19,"deadband_us":0}]})",
         R"("settings":"9600 8N1 raw VMIN=0 VTIME=2")",
         R"("servo":2,"position":150,"pulse_us":1591,"understood":true,"begins":)",
         R"(,"from":127.0,"from_assumed":true,"arrives":)", R"(,"model":"standard","behind":)",
         R"({"event":"ignored","t":)", R"(,"servo":10,"position":13,"understood":true,"behind":)",
         R"(,"bytes":[255,1],"reason":"new packet","understood":true,"behind":)",
         R"(,"bytes":[255],"reason":"new packet","understood":true,"behind":)",
         R"("servo":3,"position":200,"pulse_us":1787,"understood":true,"begins":)",
         R"({"event":"end","t":)",
         R"(,"by":"end of input","servos":[{"servo":0,"position":null,"pulse_us":null,)"
         R"("shaft":127.0,"shaft_assumed":true,"moves":0})",
         R"({"servo":2,"position":150,"pulse_us":1591,"shaft":150.0,"shaft_assumed":false,)"
         R"("moves":1})",
         R"(],"not_understood":0,"lost":0,"behind_max":)"});
    EXPECT_FALSE(Exists(Entry(3)));

    // The wire's time: each event when its last byte arrived, never sooner after the one before
    // than the bytes between take at 9600 8N1 (the 3rd, 6th, 9th, 10th and 12th byte).
    const std::vector<double> t = Numbers(sim.Out(), "t", R"("understood")");
    ASSERT_EQ(t.size(), 5u) << sim.Out();
    const double kByte = 10.0 / 9600;
    const int kBytesBetween[] = {3, 3, 1, 2};
    for (std::size_t i = 0; i + 1 < t.size(); ++i)
        EXPECT_GE(t[i + 1] - t[i], kBytesBetween[i] * kByte - 2e-6) << i;
    // A move begins at the next 20 ms frame and the shaft arrives at 60 degrees per 0.19 s.
    const std::vector<double> begins = Numbers(sim.Out(), "begins", R"("servo":2)");
    const std::vector<double> arrives = Numbers(sim.Out(), "arrives", R"("servo":2)");
    ASSERT_EQ(begins.size(), 1u);
    ASSERT_EQ(arrives.size(), 1u);
    EXPECT_GE(begins[0], t[0]);
    EXPECT_LT(begins[0] - t[0], 0.020);
    EXPECT_NEAR(std::fmod(begins[0] + 1e-7, 0.020), 0, 1e-6);
    EXPECT_NEAR(arrives[0] - begins[0], 23 * 90.0 / 254 * 0.19 / 60, 2e-6);

    // The trace: a row where each move begins, one per frame while it turns, one where it ends.
    const std::string sCsv = ReadFileText(sTrace);
    ExpectInOrder(
        sCsv, {"t,servo,commanded,pulse_us,angle_deg\n", ",2,150,1591,0.0\n", ",2,150,1591,8.1\n"});
    ExpectInOrder(sCsv, {",3,200,1787,0.0\n", ",3,200,1787,25.9\n"});
    // The plot: an SVG a real renderer draws, and not blank.
    const std::string sSvg = ReadFileText(sPlot);
    ExpectInOrder(sSvg, {"<svg xmlns=\"http://www.w3.org/2000/svg\"", "seconds", "degrees",
                         "servo 2 shaft", "servo 2 commanded", "servo 3 shaft", "</svg>"});
    ASSERT_EQ(std::system("command -v rsvg-convert >/dev/null 2>&1"), 0)
        << "rsvg-convert (librsvg2-bin) is not installed";
    const std::string sBlank = m_map.ConfigHome() + "/blank.svg";
    std::ofstream(sBlank) << sSvg.substr(0, sSvg.find("<text")) << "</svg>\n";
    for (const std::string& sSvgFile : {sPlot, sBlank})
        ASSERT_EQ(std::system(("rsvg-convert -f png -o " + sSvgFile + ".png " + sSvgFile).c_str()),
                  0);
    const std::string sPng = ReadFileText(sPlot + ".png");
    EXPECT_EQ(sPng.rfind("\x89PNG", 0), 0u);
    EXPECT_NE(sPng, ReadFileText(sBlank + ".png"));  // lines, axes and words were drawn
}

TEST_F(SimulatorTest, EachControllersJumpersAndServosAreTheRigsOwn) {
    // The simulator as COM2 with args, plx-ssc-test's input sent to it; its JSON report once it
    // has shown sUntil and ended.
    const auto Session = [&](std::vector<std::string> args, const std::string& sInput,
                             const std::string& sUntil) {
        args.insert(args.begin(), {"--json", "--port=2"});
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, args);
        Ready(sim);
        RunTest("2\n" + sInput);
        sim.WaitForOutput(sUntil);
        sim.CloseInput();
        EXPECT_EQ(ExitCode(sim.Wait()), 0) << sim.Err();
        return sim.Out();
    };
    ExpectInOrder(
        Session({"--id", "8", "--range", "180"}, "10 13\n2 150\n", R"("servo":2,"position":150)"),
        {R"("servos":[8,15],"range":180,)",
         R"("servo":10,"position":13,"pulse_us":602,"understood":true,)",
         R"("servo":2,"position":150,"understood":true,"behind":)"});
    // Two controllers on the line, and servos of three kinds at 6 V: each move names its
    // servo's model, and the end covers all sixteen.
    const std::string sOut =
        Session({"--id", "0,8", "--servo", "2,5=sg90", "--servo=9-10=mg996r", "--volts", "6.00"},
                "10 13\n2 150\n16 1\n", R"("servo":16,"position":1)");
    ExpectInOrder(
        sOut,
        {R"("servos":[0,15],"range":90,)",
         R"("volts":6,"models":[{"model":"standard","servos":[0,1,3,4,6,7,)"
         R"(8,11,12,13,14,15],"speed_s_per_60":0.19,"deadband_us":0},{"model":"sg90","servos":)"
         R"([2,5],"speed_s_per_60":0.1,"deadband_us":10},{"model":"mg996r","servos":[9,10],)"
         R"("speed_s_per_60":0.14,"deadband_us":5}]})",
         R"("servo":10,"position":13,"pulse_us":1051,"understood":true,)", R"("model":"mg996r")",
         R"("servo":2,"position":150,"pulse_us":1591,"understood":true,)", R"("model":"sg90")",
         R"("servo":16,"position":1,"understood":true,"behind":)",
         R"({"servo":15,"position":null,)", R"(],"not_understood":0,)"});
    // The mg996r turns 23 steps of 90/254 degrees at 0.14 s per 60 degrees at 6 V.
    const std::vector<double> begins = Numbers(sOut, "begins", R"("servo":10)");
    const std::vector<double> arrives = Numbers(sOut, "arrives", R"("servo":10)");
    ASSERT_EQ(begins.size(), 1u);
    ASSERT_EQ(arrives.size(), 1u);
    EXPECT_NEAR(arrives[0] - begins[0], 114 * 90.0 / 254 * 0.14 / 60, 2e-6);

    // A board that restarts whenever its port is opened, for 10 s: what a program sends at once
    // is lost.
    ExpectInOrder(Session({"--resets-on-open", "10"}, "2 150\n", R"({"event":"lost")"),
                  {R"("resets_on_open_s":10,)", R"({"event":"restart","t":)", R"(,"until":)",
                   R"({"event":"lost","t":)", R"(,"servo":2,"position":150,"behind":)",
                   R"("not_understood":0,"lost":1,)"});

    // A Maestro at Mini SSC offset 12 answers servos 12-23 on its channels 0-11.
    const std::string sTrace = m_map.ConfigHome() + "/maestro.csv";
    ExpectInOrder(Session({"--board", "maestro", "--offset", "12", "--channels", "12", "--baud",
                           "9600", "--trace", sTrace},
                          "12 0\n11 5\n", R"("servo":11,"position":5)"),
                  {R"("board":"maestro","baud":9600,"servos":[12,23],"channels":12,"offset":12,)",
                   R"({"event":"move","t":)",
                   R"(,"servo":12,"channel":0,"position":0,"pulse_us":1023.75,"understood":true,)",
                   R"({"event":"ignored","t":)", R"({"servo":23,"channel":11,"position":null,)"});
    ExpectInOrder(ReadFileText(sTrace),
                  {"t,servo,channel,commanded,pulse_us,angle_deg\n", ",12,0,0,1023.75,0.0\n"});
}

TEST_F(SimulatorTest, PacketsAreFlaggedOnALineSetUpWronglyAndTellHowLongTheyWaited) {
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json", "--port", "4", "--baud", "9600"});
    CFd port(::open(Ready(sim).c_str(), O_RDWR | O_NOCTTY));
    ASSERT_GE(port.Get(), 0);
    auto Send = [&](speed_t speed, tcflag_t oflag, const std::vector<std::uint8_t>& bytes) {
        termios tio;
        ASSERT_EQ(tcgetattr(port.Get(), &tio), 0);
        cfmakeraw(&tio);
        cfsetospeed(&tio, speed);
        cfsetispeed(&tio, speed);
        tio.c_oflag |= oflag;
        ASSERT_EQ(tcsetattr(port.Get(), TCSANOW, &tio), 0);
        ASSERT_EQ(::write(port.Get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    };
    Send(B4800, 0, Bytes({0xFF, 2, 150}));
    sim.WaitForOutput(R"("servo":2,"position":150)");
    // Output processing turns the line feed into CR LF: the controller reads servo 13.
    Send(B9600, OPOST | ONLCR, Bytes({0xFF, 0x0A, 0x05}));
    sim.WaitForOutput(R"("bytes":[5])");
    Send(B9600, 0, Bytes({0xFF, 1, 2}));
    sim.WaitForOutput(R"("servo":1,"position":2)");
    // 100 packets at once: when the first is taken the 99 after it are queued, 297 bytes of 10
    // bits at 9600 baud, and none after the last; the last waited longest.
    std::vector<std::uint8_t> burst;
    for (int i = 0; i < 99; ++i) burst.insert(burst.end(), {0xFF, 3, 4});
    burst.insert(burst.end(), {0xFF, 4, 5});
    Send(B9600, 0, burst);
    sim.WaitForOutput(R"("servo":4,"position":5)");
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 0);
    ExpectInOrder(
        sim.Out(),
        {R"("settings":"4800 8N1 raw VMIN=1 VTIME=0")",
         R"("servo":2,"position":150,"pulse_us":1591,"understood":false,)"
         R"("why":"line at 4800 baud, controller at 9600","model":"standard","behind":)",
         R"("settings":"9600 8N1 cooked (opost onlcr) VMIN=1 VTIME=0")",
         R"("servo":13,"position":10,"understood":false,"why":"output processing alters bytes",)",
         R"(,"queued":0.001})",  // the 5 after it
         R"("bytes":[5],"reason":"no sync","understood":false)",
         R"("settings":"9600 8N1 raw VMIN=1 VTIME=0")",
         R"("servo":1,"position":2,"pulse_us":1008,"understood":true,)",
         // Only what the controller understood moved a servo.
         R"({"servo":1,"position":2,"pulse_us":1008,"shaft":)",
         R"({"servo":2,"position":null,"pulse_us":null,"shaft":127.0,"shaft_assumed":true,)"
         R"("moves":0})",
         R"(],"not_understood":3,"lost":0,"behind_max":)"});
    const std::vector<double> queued = Numbers(sim.Out(), "queued", R"("servo":3,"position":4)");
    ASSERT_EQ(queued.size(), 99u);
    EXPECT_EQ(queued.front(), 0.309);
    EXPECT_EQ(queued.back(), 0.003);
    EXPECT_EQ(Numbers(sim.Out(), "queued", R"("servo":4,"position":5)"), std::vector<double>{0});
    const std::vector<double> behind = Numbers(sim.Out(), "behind", R"("servo":3,"position":4)");
    ASSERT_EQ(behind.size(), 99u);
    EXPECT_LT(behind.front(), behind.back());
    EXPECT_EQ(Numbers(sim.Out(), "behind_max_t", R"("event":"end")"),
              Numbers(sim.Out(), "t", R"("servo":4,"position":5,"pulse_us":1020,"understood")"));
}

TEST_F(SimulatorTest, WhatTheLineHidesIsAFloorUntilItIsSeenEmpty) {
    // 3000 packets in one write, more than the line shows (4095 bytes): from the first packet
    // that may have waited unseen on, every one is a floor until the line is seen empty, however
    // the kernel's moving more into view falls between the simulator's looks. A Maestro at
    // 115200 baud takes them in under a second.
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe,
                 {"--json", "--no-map", "--board", "maestro", "--baud", "115200"});
    const CFd line = RawLine(sim, B115200);
    sim.WaitForOutput(R"("settings":"115200 8N1 raw)");
    std::string sPackets;
    for (int i = 0; i < 3000; ++i) sPackets += {'\xFF', static_cast<char>(i % 6), '\x64'};
    ASSERT_EQ(::write(line.Get(), sPackets.data(), sPackets.size()),
              static_cast<ssize_t>(sPackets.size()));
    const auto Moves = [&] {
        sim.Shows("");
        return Occurrences(sim.Out(), R"({"event":"move")");
    };
    ASSERT_TRUE(sim.WaitUntil([&] { return Moves() == 3000u; })) << Moves();
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 0) << sim.Err();
    std::istringstream lines(sim.Out());
    std::vector<std::string> moves;
    for (std::string sLine; std::getline(lines, sLine);)
        if (sLine.rfind(R"({"event":"move")", 0) == 0) moves.push_back(sLine);
    ASSERT_EQ(moves.size(), 3000u);
    const auto Floor = [](const std::string& sMove) {
        return sMove.find(R"("behind_floor":true)") != std::string::npos;
    };
    const auto itFirst = std::find_if(moves.begin(), moves.end(), Floor);
    ASSERT_NE(itFirst, moves.end()) << "no packet waited unseen";
    EXPECT_LE(itFirst - moves.begin(), 1365);  // 4095 bytes
    const auto itExact = std::find_if_not(itFirst, moves.end(), Floor);
    EXPECT_EQ(itExact, moves.end())
        << "a wait given as exact after one that may have been longer: " << *itExact << " after "
        << *itFirst;
    // What waited behind each packet is a floor too, until the line was seen empty with the last.
    EXPECT_NE(std::find_if(moves.begin(), moves.end(),
                           [](const std::string& sMove) {
                               return sMove.find(R"("queued_floor":true)") != std::string::npos;
                           }),
              moves.end());
    EXPECT_NE(moves.back().find(R"("queued":0.000})"), std::string::npos) << moves.back();
}

TEST_F(SimulatorTest, ABoardRestartsOnlyWhenItsPortIsOpenedWhileNoOtherProgramHasIt) {
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json", "--resets-on-open", "0.1"});
    const std::string sDevice = Ready(sim);
    const auto Told = [&](const std::string& sEvent) {
        sim.Shows("");
        return Occurrences(sim.Out(), R"({"event":")" + sEvent + '"');
    };
    {
        const CFd holder(::open(sDevice.c_str(), O_RDWR | O_NOCTTY));
        ASSERT_TRUE(sim.WaitUntil([&] { return Told("restart") == 1; }));
        // Its packets, one at a time, until the board is back and takes one.
        while (Told("move") == 0) {
            const std::size_t nLost = Told("lost");
            ASSERT_EQ(::write(holder.Get(), "\xFF\x00\x64", 3), 3);
            ASSERT_TRUE(sim.WaitUntil([&] { return Told("move") > 0 || Told("lost") > nLost; }));
        }
        // Another program takes the line while the first has it open: no DTR rises, and the
        // board takes what it sends.
        RunTest("1\n2 150\n");
        const std::string kPacket = R"("servo":2,"position":150,)";
        ASSERT_TRUE(sim.WaitUntil([&] { return sim.Shows(kPacket); }));
        EXPECT_NE(sim.Out().find(kPacket + R"("pulse_us":1591,"understood":true,)"),
                  std::string::npos)
            << sim.Out();
        EXPECT_EQ(Told("restart"), 1u);
    }
    // Every program gone, the next open restarts it again.
    const CFd again(::open(sDevice.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_TRUE(sim.WaitUntil([&] { return Told("restart") == 2; }));
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 0) << sim.Err();
}

TEST_F(SimulatorTest, AMaestroTakesALineSetToItsRateByNumber) {
    // Serial libraries set a rate no B constant names by number (termios2's BOTHER); so may a
    // program set one that has a name.
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe,
                 {"--json", "--no-map", "--board", "maestro", "--baud", "14400"});
    const CFd line = RawLine(sim, B9600);
    for (const std::uint32_t nBaud : {14400u, 9600u}) {
        ASSERT_TRUE(SetLineSpeedByNumber(line.Get(), nBaud));
        const std::vector<std::uint8_t> packet =
            Bytes({0xFF, 1, static_cast<std::uint8_t>(nBaud % 255)});
        ASSERT_EQ(::write(line.Get(), packet.data(), packet.size()), 3);
        sim.WaitForOutput(R"("servo":1,"channel":1,"position":)" + std::to_string(packet[2]));
    }
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 0) << sim.Err();
    ExpectInOrder(sim.Out(), {R"("settings":"14400 8N1 raw VMIN=1 VTIME=0","baud":14400,)",
                              R"("position":120,"pulse_us":1473.75,"understood":true,)",
                              R"("settings":"9600 8N1 raw VMIN=1 VTIME=0","baud":9600,)",
                              R"("position":165,"pulse_us":1642.5,"understood":false,)"
                              R"("why":"line at 9600 baud, controller at 14400",)"});
}

TEST_F(SimulatorTest, ATakenPortIsRefusedAndLeftAlone) {
    const std::string sUpper = m_map.Directory() + "/COM3";
    // A user's own mapping of an adapter that is unplugged: it points nowhere, and stays.
    const std::string kAdapter = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    ASSERT_EQ(::symlink("/dev/null", Entry(2).c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", sUpper.c_str()), 0);  // the same port, in capitals
    ASSERT_EQ(::symlink(kAdapter.c_str(), Entry(1).c_str()), 0);
    struct stat before;
    ASSERT_EQ(::lstat(Entry(1).c_str(), &before), 0);
    // Output files are not touched by a simulator that does not start: a user's file is kept.
    const std::string sKeep = m_map.ConfigHome() + "/keep.csv";
    std::ofstream(sKeep) << "mine\n";
    const std::string sNew = m_map.ConfigHome() + "/new.svg";
    for (const auto& taken : {std::make_pair(2, Entry(2) + " points to /dev/null"),
                              std::make_pair(3, sUpper + " points to /dev/zero"),
                              std::make_pair(1, Entry(1) + " points to " + kAdapter)}) {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe,
                     {"--port", std::to_string(taken.first), "--trace", sKeep, "--plot", sNew});
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_NE(sim.Err().find("is taken: " + taken.second + "; choose another --port"),
                  std::string::npos)
            << sim.Err();
        EXPECT_FALSE(Exists(Entry(3)));
        EXPECT_EQ(ReadFileText(sKeep), "mine\n");
        EXPECT_FALSE(Exists(sNew));
    }
    EXPECT_EQ(PlxLinkTarget(Entry(2)), "/dev/null");
    struct stat after;
    ASSERT_EQ(::lstat(Entry(1).c_str(), &after), 0);
    EXPECT_EQ(PlxLinkTarget(Entry(1)), kAdapter);
    EXPECT_EQ(after.st_ino, before.st_ino);  // the very link, not one made again
}

TEST_F(SimulatorTest, AnEntryLeftBehindIsReplacedAndEveryEndingRemovesItsOwn) {
    const std::string sGone = GonePts();
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, 0}) {
        ASSERT_EQ(::symlink(sGone.c_str(), Entry(1).c_str()), 0);
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json"});
        const std::string sDevice = Ready(sim);
        EXPECT_NE(
            sim.Out().find(R"("replaced":"a link to )" + sGone + R"(, a terminal that is gone")"),
            std::string::npos)
            << sim.Out();
        EXPECT_EQ(PlxLinkTarget(Entry(1)), sDevice);
        if (nSignal)
            sim.Signal(nSignal);
        else
            sim.CloseInput();
        EXPECT_EQ(ExitCode(sim.Wait()), 0) << nSignal;
        EXPECT_NE(sim.Out().find(R"({"event":"end","t":)"), std::string::npos) << nSignal;
        EXPECT_FALSE(Exists(Entry(1))) << nSignal;
    }
}

TEST_F(SimulatorTest, NoMapOnlyNamesTheDeviceAndJsonIsUtf8WhateverThePathHolds) {
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--no-map", "--speed", "-0"});
    sim.WaitForOutput("listening on /dev/pts/");
    EXPECT_FALSE(Exists(Entry(1)));
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 0);
    EXPECT_NE(sim.Out().find("; paced at the line's speed, servos turn 60 degrees in 0 s\n"),
              std::string::npos)
        << sim.Out();

    const std::string sOdd = m_map.ConfigHome() + "/caf\xc3\xa9-\xff";  // UTF-8, then not
    ::setenv("XDG_CONFIG_HOME", sOdd.c_str(), 1);                       // restored by m_map
    CProgram json(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json"});
    json.WaitForOutput(R"({"event":"line")");
    json.CloseInput();
    EXPECT_EQ(ExitCode(json.Wait()), 0);
    EXPECT_NE(json.Out().find("caf\xc3\xa9-\\ufffd/plx/ports/com1\""), std::string::npos)
        << json.Out();
    EXPECT_EQ(json.Out().find('\xff'), std::string::npos);
    EXPECT_NE(sim.Out().find("servo  position     pulse     shaft     moves\n"
                             "    0         -         -   (127.0)         0\n"),
              std::string::npos)
        << sim.Out();
}

TEST_F(SimulatorTest, APortMapThatCannotBeWrittenIsReported) {
    const std::string sBlocker = m_map.ConfigHome() + "/file";
    std::ofstream(sBlocker) << "not a directory";
    ::setenv("XDG_CONFIG_HOME", sBlocker.c_str(), 1);  // restored by m_map
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {});
    EXPECT_EQ(ExitCode(sim.Wait()), 1);
    EXPECT_EQ(sim.Err(), "plx-ssc-sim: cannot create " + sBlocker + "/plx: Not a directory\n");
    // A relative XDG_CONFIG_HOME counts for nothing, and the user is told so.
    ::setenv("XDG_CONFIG_HOME", "cfg", 1);
    const CEnvironment noHome("HOME", nullptr);
    CProgram relative(PLX_SSC_SIM_EXE, EStreams::Pipe, {});
    EXPECT_EQ(ExitCode(relative.Wait()), 1);
    EXPECT_EQ(relative.Err().rfind("plx-ssc-sim: no port map directory: XDG_CONFIG_HOME=cfg is "
                                   "ignored, as only an absolute path counts",
                                   0),
              0u)
        << relative.Err();
}

TEST_F(SimulatorTest, OptionsAreCheckedAndExplained) {
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--help"});
        EXPECT_EQ(ExitCode(sim.Wait()), 0);
        EXPECT_EQ(sim.Out().rfind("Usage: plx-ssc-sim [OPTION]...\n", 0), 0u);
        for (const char* pszOption :
             {"--board B", "--range R", "--id I", "--channels N", "--offset N", "--autobaud",
              "--servo LIST=MODEL", "--volts V", "--speed S", "--resets-on-open S", "--instant",
              "--trace FILE", "--plot FILE", "\"behind\""})
            EXPECT_NE(sim.Out().find(pszOption), std::string::npos) << pszOption;
    }
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--servo", "help"});
        EXPECT_EQ(ExitCode(sim.Wait()), 0);
        ExpectInOrder(sim.Out(), {"model       4.8 V   6.0 V  dead band  source\n",
                                  "standard     0.19    0.19       0 us  ",
                                  "sg90         0.10    0.10      10 us  Tower Pro SG90",
                                  "hs311        0.19    0.15       5 us  Hitec HS-311",
                                  "mg996r       0.17    0.14       5 us  Tower Pro MG996R"});
    }
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--version"});
        EXPECT_EQ(ExitCode(sim.Wait()), 0);
        EXPECT_EQ(sim.Out(), "plx-ssc-sim 1.0.0\n");
    }
    const std::string sSame = m_map.ConfigHome() + "/same.out";
    const std::string sSameAgain = m_map.ConfigHome() + "/./same.out";
    const std::vector<std::pair<std::vector<std::string>, std::string>> kBad = {
        {{"--baud", "4800"}, "--baud takes 2400 or 9600"},
        {{"--range=45"}, "--range takes 90 or 180"},
        {{"--id", "3"}, "--id takes 0 (servos 0-7), 8 (servos 8-15) or 0,8"},
        {{"--id=0,0"}, "--id takes 0"},
        {{"--servo", "2"}, "--servo takes LIST=MODEL"},
        {{"--servo", "3-1=sg90"}, "--servo takes LIST=MODEL"},
        {{"--servo", "0,12-99=sg90"},
         "--servo names servo 12, which no controller answers (--id 0: servos 0-7)"},
        {{"--servo", "250-300=sg90"},
         "--servo names servo 255, which no byte on the line can name (servos 0-254)"},
        {{"--servo", "0-7="}, "--servo takes LIST=MODEL"},
        {{"--servo", "2=sg91"}, "--servo: no model is named sg91; --servo help lists them"},
        {{"--servo=9=sg90", "--id", "0"},
         "--servo names servo 9, which no controller answers (--id 0: servos 0-7)"},
        {{"--volts", "5"}, "--volts takes 4.8 or 6"},
        {{"--port"}, "--port takes a whole number"},
        {{"--port", "99999999999"}, "--port takes a whole number"},
        {{"--speed", "-1"}, "--speed takes the seconds a servo takes to turn 60 degrees"},
        {{"--speed=fast"}, "--speed takes the seconds"},
        {{"--speed", "1e-320"}, "--speed takes the seconds"},  // no servo is that fast
        {{"--trace"}, "--trace takes a file name"},
        {{"--plot="}, "--plot takes a file name"},
        {{"--board", "maestro", "--range", "90"},
         "--range is a jumper of the MINI-SSC II, which --board maestro is not"},
        {{"--offset", "3"},
         "--offset is a setting of the Maestro (--board maestro); the MINI-SSC II has jumpers"},
        {{"--board=maestro", "--channels", "8"}, "--channels takes 6, 12, 18 or 24"},
        {{"--board=maestro", "--offset", "250"},
         "--offset 250 puts channel 5 at servo 255, which no byte on the line can name"},
        {{"--board=maestro", "--baud", "200001"}, "--baud takes 300 to 200000 for the Maestro"},
        {{"--autobaud", "--board=maestro", "--baud", "9600"},
         "--autobaud detects the baud rate from the byte 0xAA: give no --baud with it"},
        {{"--board", "ssc32"}, "--board takes minissc2 or maestro"},
        {{"--resets-on-open", "0.05"}, "--resets-on-open takes the seconds the board restarts"},
        // Numbers as a person writes them, nothing before or after, as strtod would take.
        {{"--resets-on-open", "0x1"}, "--resets-on-open takes the seconds the board restarts"},
        {{"--resets-on-open", " 1"}, "--resets-on-open takes the seconds the board restarts"},
        {{"--resets-on-open", "1 "}, "--resets-on-open takes the seconds the board restarts"},
        {{"--volts", "6e0"}, "--volts takes 4.8 or 6"},
        {{"--port", " 1"}, "--port takes a whole number"},
        // The plot would be written over the trace.
        {{"--trace", sSame, "--plot", sSameAgain},
         "--trace and --plot name the same file, " + sSameAgain + ": give each a file of its own"},
        {{"--frobnicate"}, "unknown option --frobnicate"}};
    for (const auto& bad : kBad) {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, bad.first);
        EXPECT_EQ(ExitCode(sim.Wait()), 2);
        EXPECT_EQ(sim.Err().rfind("plx-ssc-sim: " + bad.second, 0), 0u) << sim.Err();
        EXPECT_NE(sim.Err().find("Try 'plx-ssc-sim --help'."), std::string::npos);
        EXPECT_FALSE(Exists(Entry(1)));
    }
}

TEST_F(SimulatorTest, APortLeftMarkedByAKilledProgramCanBeOpenedAgainAsNobody) {
    // Root may open a terminal marked exclusive regardless; an ordinary user may not. As root,
    // run the program as nobody so that a stale mark would show.
    const int nUid = OtherUser();
    if (!EveryProcessVisible())
        GTEST_SKIP()
            << "this user cannot see every process's open files, so the simulator "
               "keeps a mark one of them may hold (AMarkIsLiftedOnlyOnceNoProgramHoldsTheLine)";
    CPortMap map(true);
    if (!map.Usable()) GTEST_SKIP() << "no temporary folder that nobody can reach";
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json", "--port", "6"});
    const std::string sDevice = Ready(sim);
    if (nUid >= 0) {
        ASSERT_EQ(::chmod(sDevice.c_str(), 0666), 0);
    }
    {
        CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe, {}, nUid);
        program.Type("6\n1 2\n");
        sim.WaitForOutput(R"("servo":1,"position":2)");
        program.Signal(SIGKILL);  // killed outright: the program has no say in how it ends
        program.Wait();
    }
    const std::string sMark = LeftReport(sim, "mark", 1);
    EXPECT_NE(sMark.find(R"(,"state":"lifted"})"), std::string::npos) << sim.Out();
    RunTest("6\n3 4\n", nUid);
    sim.WaitForOutput(R"("servo":3,"position":4)");
}

}  // namespace

namespace {

// A terminal of 80 columns by 12 rows, as in the demo's pane, run by a tmux server of the test's
// own, at a socket of its own, so that no two of them can mix; Screen() is what a person sees.
// The server is the test's child, not a daemon, so that it and what runs in it end with the
// test however the test ends; the commands never start one of their own.
class CTmux {
public:
    explicit CTmux(const std::string& sCommand)
        : m_sSocket(m_dir.Path() + "/tmux"),
          m_server("/usr/bin/tmux", EStreams::Pipe, {"-f", "/dev/null", "-S", m_sSocket, "-D"}) {
        m_server.WaitUntil([&] {
            return Run("-f /dev/null new-session -d -x 80 -y 12 " + Quote(sCommand)).empty();
        });
        Run("set-option -g remain-on-exit on");
    }
    ~CTmux() { Run("kill-server"); }
    CTmux(const CTmux&) = delete;
    CTmux& operator=(const CTmux&) = delete;

    std::string Screen() { return Run("capture-pane -p"); }
    // Waits until the screen shows sText; the screen then.
    std::string WaitFor(const std::string& sText) {
        std::string sScreen;
        m_server.WaitUntil([&] {
            sScreen = Screen();
            return sScreen.find(sText) != std::string::npos;
        });
        EXPECT_NE(sScreen.find(sText), std::string::npos)
            << "never shown: " << sText << "\nscreen:\n"
            << sScreen;
        return sScreen;
    }
    // Waits, as a test waits, for done; false when the terminal ended first.
    bool WaitUntil(const std::function<bool()>& done) { return m_server.WaitUntil(done); }
    // Whether the terminal shows the alternate screen, and the cursor: "1 0", "0 1".
    std::string ScreenAndCursor() {
        return Run("display-message -p '#{alternate_on} #{cursor_flag}'");
    }
    std::string Run(const std::string& sArgs) {
        return CommandOutput("TMUX= tmux -N -S " + Quote(m_sSocket) + " " + sArgs + " 2>&1");
    }

private:
    static std::string Quote(const std::string& s) { return "'" + s + "'"; }
    // A shell in it keeps no history: it would write into a home as the test removes it.
    CEnvironment m_history{"HISTFILE", ""};
    CTempDir m_dir;
    std::string m_sSocket;
    CProgram m_server;
};

TEST_F(SimulatorTest, ALiveViewAtATerminalThatFollowsItsSizeStopsAndComesBack) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed";
    // A shell with job control, as a person has, that stays after the simulator so that the
    // terminal it leaves can be looked at. Slow servos, so that they are seen on their way.
    CTmux tmux("bash --norc --noprofile -i");
    tmux.Run("send-keys '" + std::string(PLX_SSC_SIM_EXE) + " --port 7 --speed 60' Enter");
    tmux.WaitFor("line: ");
    RunTest("7\n2 254\n5 0\n10 3\n");
    std::string sScreen = tmux.WaitFor("ignored  servo 10 to 3");
    ExpectInOrder(sScreen,
                  {"MINI-SSC II COM7 /dev/pts/", "jumpers: 9600 baud, servos 0-7, 90 deg",
                   "line: 9600 8N1 raw VMIN=0 VTIME=2\n", "   # shaft  o commanded  | neutral",
                   "cmd pulse    shaft\n",
                   " 0 [---------------------|--------------------]  never commanded, 0 deg "
                   "assumed\n",
                   " 2 [", "o", "]  254  2000 us", "deg moving\n", " 5 [o", "]    0  1000 us",
                   "deg moving\n", "ignored  servo 10 to 3 (not one of servos 0-7)"});
    // Narrower: the gauge shrinks, nothing wraps.
    tmux.Run("resize-window -x 40 -y 12");
    sScreen = tmux.WaitFor(" 5 [o-");
    std::istringstream lines(sScreen);
    int nLines = 0;
    for (std::string sLine; std::getline(lines, sLine); ++nLines)
        EXPECT_LE(sLine.size(), 40u) << sLine;
    EXPECT_EQ(nLines, 12);
    // Ctrl+Z: the shell's terminal as it was, then the view again with fg.
    tmux.Run("send-keys C-z");
    tmux.WaitFor("Stopped");
    EXPECT_EQ(tmux.ScreenAndCursor(), "0 1\n");
    tmux.Run("send-keys fg Enter");
    tmux.WaitFor("MINI-SSC II COM7");
    EXPECT_EQ(tmux.ScreenAndCursor(), "1 0\n");
    // Ctrl+D: the terminal as it was, with the table of the run on it.
    tmux.Run("resize-window -x 80 -y 12");
    tmux.Run("send-keys C-d");
    sScreen = tmux.WaitFor("servo  position     pulse     shaft     moves\n");
    EXPECT_NE(sScreen.find("    2       254   2000 us"), std::string::npos) << sScreen;
    EXPECT_EQ(tmux.ScreenAndCursor(), "0 1\n");

    // --log keeps the line per event at a terminal.
    CTmux logged(std::string(PLX_SSC_SIM_EXE) + " --port 8 --log");
    logged.WaitFor("line     ");
    RunTest("8\n3 200\n");
    logged.WaitFor("move     servo 3 to 200 (1787 us), turns from 127.0 (neutral");
}

// The command examples of the README and of both manual pages (each block that starts with one
// of the programs, or maps a port), as a person runs them: typed line by line into a shell at a
// terminal, with a home of their own and the programs on the PATH. An example the test does not
// know how to follow fails it, so that none goes untried.
std::vector<std::string> CommandExamples() {
    std::vector<std::string> blocks;
    const auto Keep = [&](const std::string& sBlock) {
        for (const char* pszStart : {"plx-ssc-sim", "plx-ssc-test", "mkdir"})
            if (sBlock.rfind(pszStart, 0) == 0) blocks.push_back(sBlock);
    };
    for (const char* pszManual : {"/man/plx-ssc-sim.1", "/man/plx-ssc-test.1"}) {
        std::istringstream lines(ReadFileText(std::string(PLX_SOURCE_DIR) + pszManual));
        std::string sBlock;
        bool bIn = false;
        for (std::string sLine; std::getline(lines, sLine);) {
            if (sLine == ".nf" || sLine == ".fi") {
                if (sLine == ".fi") Keep(sBlock);
                bIn = sLine == ".nf";
                sBlock.clear();
            } else if (bIn) {
                for (std::size_t i = 0; (i = sLine.find("\\-", i)) != std::string::npos;)
                    sLine.erase(i, 1);
                sBlock += sLine + "\n";
            }
        }
    }
    std::istringstream lines(ReadFileText(std::string(PLX_SOURCE_DIR) + "/README.md"));
    std::string sBlock;
    bool bIn = false;
    for (std::string sLine; std::getline(lines, sLine);) {
        if (sLine.rfind("```", 0) == 0) {
            if (bIn) Keep(sBlock);
            bIn = !bIn;
            sBlock.clear();
        } else if (bIn) {
            sBlock += sLine + "\n";
        }
    }
    return blocks;
}

TEST_F(SimulatorTest, EveryCommandExampleWorksAsWritten) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed";
    const std::string sSim = PLX_SSC_SIM_EXE;
    const std::string sPath = sSim.substr(0, sSim.rfind('/')) + ":" + std::getenv("PATH");
    const CEnvironment path("PATH", sPath.c_str());
    const CEnvironment term("TERM", "xterm");
    const CEnvironment config("XDG_CONFIG_HOME", nullptr);
    const std::vector<std::string> examples = CommandExamples();
    EXPECT_GE(examples.size(), 7u);
    for (const std::string& sExample : examples) {
        SCOPED_TRACE(sExample);
        CTempDir home;
        const CEnvironment homeDir("HOME", home.Path().c_str());
        const std::string sEntry = home.Path() + "/.config/plx/ports/com1";
        const std::string sLog = home.Path() + "/sim.log";
        CTmux shell("bash --norc --noprofile -i");
        const auto Type = [&](const std::string& sKeys) {
            shell.Run("send-keys -l '" + sKeys.substr(0, sKeys.find('\'')) + "'");
            shell.Run("send-keys Enter");
        };
        Type("cd " + home.Path());
        std::istringstream lines(sExample);
        std::vector<std::string> commands;
        for (std::string sLine; std::getline(lines, sLine);) commands.push_back(sLine);
        ASSERT_EQ(sExample.find('\''), std::string::npos) << "typed through single quotes";

        if (commands.size() == 1 && sExample.rfind("plx-ssc-sim", 0) == 0) {
            // In a terminal of its own: the live view, until Ctrl+C.
            Type(commands[0]);
            shell.WaitFor(sExample.find("--id 0,8") != std::string::npos ? "MINI-SSC II x2 COM1"
                                                                         : "MINI-SSC II COM1");
            shell.Run("send-keys C-c");
            Type("echo example ended $?");
            shell.WaitFor("example ended 0");
        } else if (sExample.find("# type ") != std::string::npos) {
            // The program at the terminal, typed to as its comment says, then Ctrl+C as its
            // banner says; the port prompt answered only once the simulator stands as COM1.
            ASSERT_EQ(commands.size(), 3u);
            Type(commands[0]);
            ASSERT_TRUE(shell.WaitUntil([&] { return Exists(sEntry); }));
            Type(commands[1]);
            // (A screen as tmux gives it has no spaces at the ends of its lines.)
            shell.WaitFor("Please enter a communications port:");
            Type("1");
            shell.WaitFor("Enter Servo and Position :");
            Type("2 150");
            shell.WaitFor("Enter Servo and Position : 2 150\nEnter Servo and Position :");
            shell.Run("send-keys C-c");
            Type(commands[2]);
            ASSERT_TRUE(shell.WaitUntil(
                [&] { return ReadFileText(sLog).find("ended by SIGTERM") != std::string::npos; }));
            EXPECT_NE(ReadFileText(sLog).find("move     servo 2 to 150"), std::string::npos);
        } else if (sExample.rfind("mkdir", 0) == 0) {
            Type(sExample);
            Type("echo example ended $?");
            shell.WaitFor("example ended 0");
            EXPECT_EQ(PlxLinkTarget(sEntry), "/dev/ttyUSB0");
        } else if (sExample.find("kill $!; wait $!") != std::string::npos) {
            // A script: pasted whole.
            for (const std::string& sCommand : commands) Type(sCommand);
            Type("echo example ended $?");
            const std::string sScreen = shell.WaitFor("example ended 0");
            const std::string sLogText = ReadFileText(sLog);
            if (sExample.find("tail -1 sim.log") != std::string::npos) {
                // What its comment says it prints: "# most behind: 1.87 s, at 0.106".
                const std::string sSays = sExample.substr(sExample.rfind("# ") + 2);
                EXPECT_NE(sScreen.find(sSays.substr(0, sSays.find(", at") + 4)), std::string::npos)
                    << sScreen;
            }
            if (sExample.find("--plot session.svg") != std::string::npos) {
                const std::string sSvg = ReadFileText(home.Path() + "/session.svg");
                EXPECT_EQ(sSvg.substr(std::max<std::size_t>(sSvg.size(), 7) - 7), "</svg>\n");
                // Every move made: the last command's position is where the shaft ended.
                EXPECT_NE(sLogText.find("\n    0         0   1000 us       0.0         2\n"),
                          std::string::npos)
                    << sLogText;
            }
        } else {
            ADD_FAILURE() << "an example this test does not know how to run";
        }
        EXPECT_FALSE(Exists(sEntry) && PlxLinkTarget(sEntry).rfind("/dev/pts/", 0) == 0)
            << "a simulator left running";
    }
}

}  // namespace

namespace {

// Writes packets to the simulator's line, as fast as it takes them, until the line is full or
// 64 KiB are written; with bUntilEnd, on until the simulator has ended.
void Flood(const std::string& sDevice, CProgram& sim, bool bUntilEnd = false) {
    CFd port(::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(port.Get(), 0);
    const std::vector<std::uint8_t> packets = Bytes({0xFF, 1, 2, 0xFF, 3, 4, 0xFF, 5, 6});
    for (std::size_t nSent = 0; bUntilEnd ? sim.Running() : nSent < 65536;) {
        const ssize_t n = ::write(port.Get(), packets.data(), packets.size());
        if (n > 0) nSent += static_cast<std::size_t>(n);
        if (n >= 0 || errno == EINTR) continue;
        if (!bUntilEnd) break;
        pollfd fds[2] = {{port.Get(), POLLOUT, 0}, {sim.Gone(), POLLIN, 0}};
        ::poll(fds, 2, kGiveUpCheckMs);
    }
}

TEST_F(SimulatorTest, EveryEndingRemovesTheEntryWhateverTheOutputIsDoing) {
    // Output nobody reads, in a pipe and on a terminal (a stopped pager, a frozen window), full
    // before the first packet, line by line and in the live view: the report backs up while
    // packets keep arriving.
    struct CCase {
        EStreams mode;
        const char* pszReport;
        int nSignal;
    };
    const CEnvironment term("TERM", "xterm");  // for the live view
    for (const CCase& c :
         {CCase{EStreams::Pipe, "--json", SIGINT}, CCase{EStreams::Pipe, "--log", SIGQUIT},
          CCase{EStreams::Terminal, "--log", SIGTERM}, CCase{EStreams::Terminal, "", SIGHUP},
          CCase{EStreams::Terminal, "--plot", SIGTERM}}) {
        std::vector<std::string> args = {"--instant", "--port", "6"};
        if (*c.pszReport != '\0') args.emplace_back(c.pszReport);
        // A failure to tell, on standard error, which is the same frozen terminal.
        const bool bFailure = std::string(c.pszReport) == "--plot";
        if (bFailure) args.push_back(m_map.ConfigHome() + "/missing/plot.svg");
        CProgram sim(PLX_SSC_SIM_EXE, c.mode, args);
        ASSERT_TRUE(WaitForEntry(sim, 6));
        sim.FillOutput();
        Flood(PlxLinkTarget(Entry(6)), sim);
        sim.Signal(c.nSignal);
        EXPECT_EQ(ExitCode(sim.Wait()), bFailure ? 1 : 0) << c.pszReport << " " << c.nSignal;
        EXPECT_FALSE(Exists(Entry(6))) << c.pszReport << " " << c.nSignal;
    }
    // Output that cannot be written, or whose reader went away: it ends, non-zero.
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--port", "6"}, -1, {"", 0, "/dev/full"});
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_NE(sim.Err().find("output gone: No space left on device"), std::string::npos)
            << sim.Err();
        EXPECT_FALSE(Exists(Entry(6)));
    }
    {
        // A file-size limit: the file too large is output gone, not a death by SIGXFSZ.
        const std::string sScript = "ulimit -f 1 && exec " + std::string(PLX_SSC_SIM_EXE) +
                                    " --log --instant --port 6 > '" + m_map.ConfigHome() + "/log'";
        CProgram sim("/bin/sh", EStreams::Pipe, {"-c", sScript});
        ASSERT_TRUE(WaitForEntry(sim, 6));
        Flood(PlxLinkTarget(Entry(6)), sim, true);
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_NE(sim.Err().find("output gone: File too large"), std::string::npos) << sim.Err();
        EXPECT_FALSE(Exists(Entry(6)));
    }
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json", "--port", "6"});
        const std::string sDevice = Ready(sim);
        sim.CloseOutput();  // | head -1
        RunTest("6\n1 2\n");
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_NE(sim.Err().find("output gone: Broken pipe"), std::string::npos) << sim.Err();
        EXPECT_FALSE(Exists(Entry(6)));
    }
}

TEST_F(SimulatorTest, EveryFailureIsToldOnceAndNoneHoldsTheEnd) {
    // FIFOs nobody reads: the simulator still stands on its line, ends at a signal, as that
    // signal, and says which files it gave up.
    const std::string sTraceFifo = m_map.ConfigHome() + "/trace.fifo";
    const std::string sPlotFifo = m_map.ConfigHome() + "/plot.fifo";
    ASSERT_EQ(::mkfifo(sTraceFifo.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(sPlotFifo.c_str(), 0600), 0);
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe,
                     {"--json", "--trace", sTraceFifo, "--plot", sPlotFifo});
        Ready(sim);
        sim.Signal(SIGTERM);
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_NE(sim.Out().find(R"("by":"SIGTERM")"), std::string::npos) << sim.Out();
        for (const std::string& sFifo : {sTraceFifo, sPlotFifo})
            EXPECT_NE(sim.Err().find("plx-ssc-sim: cannot write " + sFifo +
                                     ": it still took nothing at the end (a FIFO nobody reads"),
                      std::string::npos)
                << sim.Err();
        EXPECT_FALSE(Exists(Entry(1)));
    }
    // A trace that cannot even be created: the run never got going, and a plot of that name
    // from before is kept.
    const std::string sPlot = m_map.ConfigHome() + "/plot.svg";
    std::ofstream(sPlot) << "kept";
    {
        const std::string sMissing = m_map.ConfigHome() + "/missing/trace.csv";
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--trace", sMissing, "--plot", sPlot});
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_EQ(sim.Err(),
                  "plx-ssc-sim: cannot write " + sMissing + ": No such file or directory\n");
        EXPECT_EQ(ReadFileText(sPlot), "kept");
    }
    // The line's settings cannot be read, or the bytes waiting on it counted: told once, and the
    // run's status says so; a wait that cannot be known is only a floor.
    for (const auto& [nRequest, sTold, sMove] :
         {std::tuple{static_cast<unsigned long>(TCGETS),
                     "cannot read the line's settings: Input/output error; packets are judged by "
                     "the settings last read",
                     ""},
          {FIONREAD,
           "cannot count the bytes waiting on the line: Input/output error; how long packets "
           "waited is only a floor until it is seen empty",
           R"("behind_floor":true,"queued":0.000,"queued_floor":true})"}}) {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json"}, -1, {"", 0, "", nRequest});
        ASSERT_TRUE(WaitForEntry(sim, 1));
        RunTest("1\n2 150\n");
        sim.WaitForOutput(R"("servo":2,"position":150,"pulse_us":1591,)");
        sim.CloseInput();
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_EQ(sim.Err(), "plx-ssc-sim: " + std::string(sTold) + "\n");
        EXPECT_NE(sim.Out().find(sMove), std::string::npos) << sim.Out();
    }
    // A trace that fails from the start: the plot is written all the same.
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--trace", "/dev/full", "--plot", sPlot});
        ASSERT_TRUE(WaitForEntry(sim, 1));
        sim.CloseInput();
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_EQ(sim.Err(), "plx-ssc-sim: cannot write /dev/full: No space left on device\n");
        EXPECT_NE(ReadFileText(sPlot).find("</svg>\n"), std::string::npos);
    }
    // A trace cut short by a full disk (here a file-size limit) ends at a whole row.
    const std::string sTrace = m_map.ConfigHome() + "/trace.csv";
    const std::string sScript = "ulimit -f 1 && exec " + std::string(PLX_SSC_SIM_EXE) +
                                " --json --instant --trace '" + sTrace + "'";
    CProgram sim("/bin/sh", EStreams::Pipe, {"-c", sScript});
    Ready(sim);
    {
        // One move at a time, each seen before the next: a row where each begins and ends.
        CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe);
        program.Type("1\n");
        for (int i = 0; i < 40; ++i) {
            program.Type(std::to_string(i % 8) + " " + std::to_string(i) + "\n");
            sim.WaitForOutput(R"("servo":)" + std::to_string(i % 8) + R"(,"position":)" +
                              std::to_string(i) + ",");
        }
    }
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 1);
    EXPECT_EQ(sim.Err(), "plx-ssc-sim: cannot write " + sTrace + ": File too large\n");
    const std::string sCsv = ReadFileText(sTrace);
    EXPECT_GT(sCsv.size(), 256u);  // the limit is 512 or 1024 bytes, as the shell counts
    EXPECT_LE(sCsv.size(), 1024u);
    EXPECT_EQ(sCsv.back(), '\n');
    const std::string sLast = sCsv.substr(sCsv.rfind('\n', sCsv.size() - 2) + 1);
    EXPECT_EQ(std::count(sLast.begin(), sLast.end(), ','), 4) << sLast;
}

TEST_F(SimulatorTest, AnEntryThatCannotBeRemovedIsToldAsNobody) {
    // Root removes what it likes: the simulator runs as nobody then, in a map nobody may write
    // to until the test takes that away.
    const int nUid = OtherUser();
    CPortMap map(true);
    if (!map.Usable()) GTEST_SKIP() << "no temporary folder that nobody can reach";
    if (nUid >= 0) {
        ASSERT_EQ(::chown(map.Directory().c_str(), static_cast<uid_t>(nUid), -1), 0);
    }
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--port", "2"}, nUid);
    const std::string sEntry = map.Directory() + "/com2";
    ASSERT_TRUE(sim.WaitUntil([&] { return Exists(sEntry); }));
    ASSERT_EQ(::chmod(map.Directory().c_str(), 0555), 0);
    sim.CloseInput();
    const int nStatus = sim.Wait();
    ::chmod(map.Directory().c_str(), 0755);
    EXPECT_EQ(ExitCode(nStatus), 1);
    ExpectInOrder(sim.Err(), {"plx-ssc-sim: cannot remove " + sEntry + ": Permission denied\n",
                              "plx-ssc-sim: cannot remove " + map.Directory() +
                                  "/.com2.lock: Permission denied\n"});
}

TEST_F(SimulatorTest, StartUpFailsWithoutStandardInput) {
    // A closed standard stream: its number would go to the simulator's own descriptors.
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Closed, {"--port", "6"});
    EXPECT_EQ(ExitCode(sim.Wait()), 1);
    EXPECT_EQ(sim.Err(), "plx-ssc-sim: standard input, output and error must be open\n");
    EXPECT_FALSE(Exists(Entry(6)));
}

TEST_F(SimulatorTest, AnEntryLeftByAKilledSimulatorIsTakenBackAndOnlyOneOfTwoWins) {
    std::string sDead;
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json", "--port", "4"});
        sDead = Ready(sim);
        sim.Signal(SIGKILL);
        sim.Wait();
    }
    ASSERT_EQ(PlxLinkTarget(Entry(4)), sDead);
    // The system gives the dead simulator's terminal number to somebody else.
    std::vector<std::unique_ptr<CPseudoTerminal>> others;
    while (others.size() < 20 && (others.empty() || others.back()->SlavePath() != sDead))
        others.push_back(std::make_unique<CPseudoTerminal>());
    if (others.back()->SlavePath() != sDead) GTEST_SKIP() << sDead << " was not given out again";
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json", "--port", "4"});
        const std::string sDevice = Ready(sim);
        EXPECT_NE(
            sim.Out().find(R"("replaced":"the entry a simulator that is gone left ()" + sDead),
            std::string::npos)
            << sim.Out();
        EXPECT_EQ(PlxLinkTarget(Entry(4)), sDevice);
    }

    // Two started together for an entry left behind: one stands, the other says so.
    for (int nRound = 0; nRound < 5; ++nRound) {
        ASSERT_EQ(::symlink(GonePts().c_str(), Entry(5).c_str()), 0);
        CProgram first(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json", "--port", "5"});
        CProgram second(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json", "--port", "5"});
        // Until one of them ends, or both stand on the line.
        CProgram* pLoser = nullptr;
        const std::string kReady = R"({"event":"ready")";
        while (pLoser == nullptr && !(first.Shows(kReady) && second.Shows(kReady))) {
            if (!first.Running()) pLoser = &first;
            if (!second.Running()) pLoser = &second;
            pollfd fds[2] = {{first.Gone(), POLLIN, 0}, {second.Gone(), POLLIN, 0}};
            if (pLoser == nullptr) ::poll(fds, 2, 10);
        }
        ASSERT_NE(pLoser, nullptr) << "both run";
        CProgram& winner = pLoser == &first ? second : first;
        EXPECT_EQ(ExitCode(pLoser->Wait()), 1);
        EXPECT_NE(pLoser->Err().find("COM5 is taken"), std::string::npos) << pLoser->Err();
        EXPECT_EQ(PlxLinkTarget(Entry(5)), Ready(winner));
        EXPECT_TRUE(winner.Running());
        winner.CloseInput();
        EXPECT_EQ(ExitCode(winner.Wait()), 0);
        EXPECT_FALSE(Exists(Entry(5)));
    }
}

TEST_F(SimulatorTest, AMarkOrADisciplineIsLiftedOnlyOnceNoProgramHoldsTheLine) {
    CProgram sim(PLX_SSC_SIM_EXE, EStreams::Pipe, {"--json", "--port", "3"});
    const std::string sDevice = Ready(sim);
    const int kNull = 27;
    bool bNull = false;
    {
        // A terminal program that marks the line without locking it, and keeps it open: the
        // simulator names it and leaves the mark; and one that runs a line discipline of its own
        // on it, n_null, where the kernel has it.
        CFd other(::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        ASSERT_EQ(::ioctl(other.Get(), TIOCEXCL), 0);
        bNull = ::ioctl(other.Get(), TIOCSETD, &kNull) == 0;
        EXPECT_NE(
            LeftReport(sim, "mark", 1)
                .find(R"(,"state":"open","pid":)" + std::to_string(::getpid()) + R"(,"command":")"),
            std::string::npos)
            << sim.Out();
        int nExclusive = 0;
        ASSERT_EQ(::ioctl(other.Get(), TIOCGEXCL, &nExclusive), 0);
        EXPECT_EQ(nExclusive, 1);
        if (bNull) {
            EXPECT_NE(LeftReport(sim, "discipline", 1)
                          .find(R"(,"state":"open","discipline":27,"name":"n_null","pid":)" +
                                std::to_string(::getpid())),
                      std::string::npos)
                << sim.Out();
        }
    }
    // Closed without lifting it, as a killed program leaves it: now it goes, unless some process
    // might still hold it that this user cannot look at (another user's): then it stays.
    const bool bVisible = EveryProcessVisible();
    EXPECT_NE(LeftReport(sim, "mark", 2)
                  .find(bVisible ? R"(,"state":"lifted"})" : R"(,"state":"unknown"})"),
              std::string::npos)
        << sim.Out();
    EXPECT_EQ(Marked(sDevice), !bVisible);
    if (!bNull) GTEST_SKIP() << "no n_null in this kernel";
    EXPECT_NE(LeftReport(sim, "discipline", 2)
                  .find(bVisible ? R"(,"state":"reset","discipline":27,"name":"n_null"})"
                                 : R"(,"state":"unknown","discipline":27,)"),
              std::string::npos)
        << sim.Out();
    int nDiscipline = -1;
    CFd look(::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (look.Get() < 0 && errno == EBUSY && !bVisible && ::geteuid() != 0)
        return;  // the mark it kept keeps this user out too, discipline and all
    ASSERT_EQ(::ioctl(look.Get(), TIOCGETD, &nDiscipline), 0);
    EXPECT_EQ(nDiscipline, bVisible ? 0 : kNull);
}

}  // namespace

// plx-ssc-sim as a user runs it, and plx-ssc-test talking to it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

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

// Waits (five seconds at most) for the simulator to lift the exclusive mark from its line; it
// looks ten times a second. Each look holds the line only for a moment, since the simulator
// keeps the mark of a program that has the line open.
bool MarkLifted(const std::string& sDevice) {
    int nExclusive = 1;
    for (int i = 0; i < 500 && nExclusive; ++i) {
        CFd look(::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        if (look.Get() < 0 || ::ioctl(look.Get(), TIOCGEXCL, &nExclusive) != 0) nExclusive = 1;
        look.Reset();
        if (nExclusive) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nExclusive == 0;
}

class SimulatorTest : public ::testing::Test {
protected:
    // Waits for the simulator to stand on its line; the device path it reports.
    std::string Ready(CProgram& sim) {
        const std::string sOut = sim.WaitForOutput(R"({"event":"line")");
        const std::string kKey = R"("device":")";
        const std::size_t nAt = sOut.find(kKey);
        if (nAt == std::string::npos) return std::string();
        const std::size_t nStart = nAt + kKey.size();
        return sOut.substr(nStart, sOut.find('"', nStart) - nStart);
    }

    // Runs plx-ssc-test with piped input to its end.
    void RunTest(const std::string& sInput, int nUid = -1) {
        CProgram program(PLX_SSC_TEST_EXE, EStdin::Pipe, {}, nUid);
        program.Type(sInput);
        program.CloseInput();
        EXPECT_EQ(ExitCode(program.Wait()), 0) << program.Err();
    }

    std::string Entry(int nPort) { return m_map.Directory() + "/com" + std::to_string(nPort); }

    CPortMap m_map;
};

TEST_F(SimulatorTest, ThePairsTypedArriveAsTheControllerReadsThem) {
    CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "3"});
    const std::string sDevice = Ready(sim);
    EXPECT_EQ(PlxLinkTarget(Entry(3)), sDevice);
    RunTest("3\n2 150\n10 13\n1 255\n3 200\n");
    sim.WaitForOutput(R"("servo":3,"position":200)");
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 0);
    ExpectInOrder(
        sim.Out(),
        {R"({"event":"ready","device":")" + sDevice + R"(","port":3,"entry":")" + Entry(3) +
             R"(","replaced":false,"baud":9600,"servos":[0,7],"range":90})",
         R"({"event":"line","settings":"9600 8N1 raw VMIN=0 VTIME=2")",
         R"({"event":"move","servo":2,"position":150,"pulse_us":1591,"understood":true})",
         R"({"event":"ignored","servo":10,"position":13,"understood":true})",
         R"({"event":"dropped","bytes":[255,1],"reason":"new packet","understood":true})",
         R"({"event":"dropped","bytes":[255],"reason":"new packet","understood":true})",
         R"({"event":"move","servo":3,"position":200,"pulse_us":1787,"understood":true})",
         R"({"event":"end","by":"end of input","servos":[{"servo":0,"position":null)",
         R"({"servo":2,"position":150,"pulse_us":1591,"moves":1})",
         R"({"servo":3,"position":200,"pulse_us":1787,"moves":1})", R"(],"not_understood":0})"});
    EXPECT_EQ(sim.Out().find("understood\":false"), std::string::npos);
    EXPECT_FALSE(Exists(Entry(3)));
}

TEST_F(SimulatorTest, TheSecondControllersJumpersTakeServosEightToFifteen) {
    CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe,
                 {"--json", "--port=2", "--id", "8", "--range", "180"});
    Ready(sim);
    RunTest("2\n10 13\n2 150\n");
    sim.WaitForOutput(R"("servo":2,"position":150)");
    ExpectInOrder(sim.Out(),
                  {R"("servos":[8,15],"range":180})",
                   R"({"event":"move","servo":10,"position":13,"pulse_us":602,"understood":true})",
                   R"({"event":"ignored","servo":2,"position":150,"understood":true})"});
}

TEST_F(SimulatorTest, PacketsOnALineSetUpWronglyAreFlagged) {
    CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "4", "--baud", "9600"});
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
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 0);
    ExpectInOrder(
        sim.Out(),
        {R"({"event":"line","settings":"4800 8N1 raw VMIN=1 VTIME=0")",
         R"({"event":"move","servo":2,"position":150,"pulse_us":1591,"understood":false,)"
         R"("why":"line at 4800 baud, controller at 9600"})",
         R"({"event":"line","settings":"9600 8N1 cooked (opost onlcr) VMIN=1 VTIME=0")",
         R"({"event":"ignored","servo":13,"position":10,"understood":false,)"
         R"("why":"output processing alters bytes"})",
         R"({"event":"dropped","bytes":[5],"reason":"no sync","understood":false)",
         R"({"event":"line","settings":"9600 8N1 raw VMIN=1 VTIME=0")",
         R"({"event":"move","servo":1,"position":2,"pulse_us":1008,"understood":true})",
         // Only what the controller understood moved a servo.
         R"({"servo":1,"position":2,"pulse_us":1008,"moves":1})",
         R"({"servo":2,"position":null,"pulse_us":null,"moves":0})", R"(],"not_understood":3})"});
}

TEST_F(SimulatorTest, ATakenPortIsRefusedAndLeftAlone) {
    const std::string sUpper = m_map.Directory() + "/COM3";
    ASSERT_EQ(::symlink("/dev/null", Entry(2).c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", sUpper.c_str()), 0);  // the same port, in capitals
    for (const auto& taken : {std::make_pair(2, Entry(2) + " points to /dev/null"),
                              std::make_pair(3, sUpper + " points to /dev/zero")}) {
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--port", std::to_string(taken.first)});
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_NE(sim.Err().find("is taken: " + taken.second), std::string::npos) << sim.Err();
        EXPECT_FALSE(Exists(Entry(3)));
    }
    EXPECT_EQ(PlxLinkTarget(Entry(2)), "/dev/null");
}

TEST_F(SimulatorTest, AnEntryLeftBehindIsReplacedAndEveryEndingRemovesItsOwn) {
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP, 0}) {
        ASSERT_EQ(::symlink("/nonexistent/pts/99", Entry(1).c_str()), 0);
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json"});
        const std::string sDevice = Ready(sim);
        EXPECT_NE(sim.Out().find(R"("replaced":true)"), std::string::npos);
        EXPECT_EQ(PlxLinkTarget(Entry(1)), sDevice);
        if (nSignal)
            sim.Signal(nSignal);
        else
            sim.CloseInput();
        EXPECT_EQ(ExitCode(sim.Wait()), 0) << nSignal;
        EXPECT_NE(sim.Out().find(R"({"event":"end","by":")"), std::string::npos) << nSignal;
        EXPECT_FALSE(Exists(Entry(1))) << nSignal;
    }
}

TEST_F(SimulatorTest, NoMapOnlyNamesTheDeviceAndJsonIsUtf8WhateverThePathHolds) {
    CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--no-map"});
    sim.WaitForOutput("listening on /dev/pts/");
    EXPECT_FALSE(Exists(Entry(1)));
    sim.CloseInput();
    EXPECT_EQ(ExitCode(sim.Wait()), 0);

    const std::string sOdd = m_map.ConfigHome() + "/caf\xc3\xa9-\xff";  // UTF-8, then not
    ::setenv("XDG_CONFIG_HOME", sOdd.c_str(), 1);                       // restored by m_map
    CProgram json(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json"});
    json.WaitForOutput(R"({"event":"line")");
    json.CloseInput();
    EXPECT_EQ(ExitCode(json.Wait()), 0);
    EXPECT_NE(json.Out().find("caf\xc3\xa9-\\ufffd/plx/ports/com1\""), std::string::npos)
        << json.Out();
    EXPECT_EQ(json.Out().find('\xff'), std::string::npos);
    EXPECT_NE(sim.Out().find("servo  position     pulse     moves\n    0         -         -"
                             "         0\n"),
              std::string::npos)
        << sim.Out();
}

TEST_F(SimulatorTest, APortMapThatCannotBeWrittenIsReported) {
    const std::string sBlocker = m_map.ConfigHome() + "/file";
    std::ofstream(sBlocker) << "not a directory";
    ::setenv("XDG_CONFIG_HOME", sBlocker.c_str(), 1);  // restored by m_map
    CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {});
    EXPECT_EQ(ExitCode(sim.Wait()), 1);
    EXPECT_EQ(sim.Err(), "plx-ssc-sim: cannot create " + sBlocker + "/plx: Not a directory\n");
}

TEST_F(SimulatorTest, OptionsAreCheckedAndExplained) {
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--help"});
        EXPECT_EQ(ExitCode(sim.Wait()), 0);
        EXPECT_EQ(sim.Out().rfind("Usage: plx-ssc-sim [OPTION]...\n", 0), 0u);
        EXPECT_NE(sim.Out().find("--range R"), std::string::npos);
    }
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--version"});
        EXPECT_EQ(ExitCode(sim.Wait()), 0);
        EXPECT_EQ(sim.Out(), "plx-ssc-sim 1.0.0\n");
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> kBad = {
        {{"--baud", "4800"}, "--baud takes 2400 or 9600"},
        {{"--range=45"}, "--range takes 90 or 180"},
        {{"--id", "3"}, "--id takes 0 (servos 0-7) or 8"},
        {{"--port"}, "--port takes a whole number"},
        {{"--port", "99999999999"}, "--port takes a whole number"},
        {{"--frobnicate"}, "unknown option --frobnicate"}};
    for (const auto& bad : kBad) {
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, bad.first);
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
    CPortMap map(true);
    if (!map.Usable()) GTEST_SKIP() << "no temporary folder that nobody can reach";
    CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "6"});
    const std::string sDevice = Ready(sim);
    if (nUid >= 0) {
        ASSERT_EQ(::chmod(sDevice.c_str(), 0666), 0);
    }
    {
        CProgram program(PLX_SSC_TEST_EXE, EStdin::Pipe, {}, nUid);
        program.Type("6\n1 2\n");
        sim.WaitForOutput(R"("servo":1,"position":2)");
        program.Signal(SIGKILL);  // killed outright: the program has no say in how it ends
        program.Wait();
    }
    EXPECT_TRUE(MarkLifted(sDevice));
    RunTest("6\n3 4\n", nUid);
    sim.WaitForOutput(R"("servo":3,"position":4)");
}

}  // namespace

namespace {

// A terminal of 80 columns by 12 rows, as in the demo's pane, run by a tmux server of the test's
// own; Screen() is what a person sees in it.
class CTmux {
public:
    explicit CTmux(const std::string& sCommand) {
        ::setenv("TMUX_TMPDIR", m_dir.Path().c_str(), 1);
        Run("-f /dev/null new-session -d -x 80 -y 12 " + Quote(sCommand));
        Run("set-option -g remain-on-exit on");
    }
    ~CTmux() { Run("kill-server"); }
    CTmux(const CTmux&) = delete;
    CTmux& operator=(const CTmux&) = delete;

    std::string Screen() { return Run("capture-pane -p"); }
    // Waits (ten seconds at most) until the screen shows sText; the screen then.
    std::string WaitFor(const std::string& sText) {
        std::string sScreen;
        for (int i = 0; i < 200; ++i) {
            sScreen = Screen();
            if (sScreen.find(sText) != std::string::npos) return sScreen;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "never shown: " << sText << "\nscreen:\n" << sScreen;
        return sScreen;
    }
    std::string Run(const std::string& sArgs) {
        return CommandOutput("tmux -L plx-test " + sArgs + " 2>&1");
    }

private:
    static std::string Quote(const std::string& s) { return "'" + s + "'"; }
    CTempDir m_dir;
};

TEST_F(SimulatorTest, ALiveViewAtATerminalThatFollowsItsSize) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed";
    // The shell stays after the simulator, so that the terminal it leaves can be looked at.
    CTmux tmux(std::string(PLX_SSC_SIM_EXE) + " --port 7; read x");
    tmux.WaitFor("line: ");
    RunTest("7\n2 150\n5 0\n10 3\n");
    std::string sScreen = tmux.WaitFor("ignored  servo 10 to 3");
    ExpectInOrder(sScreen, {"MINI-SSC II COM7 /dev/pts/", "jumpers: 9600 baud, servos 0-7, 90 deg",
                            "line: 9600 8N1 raw VMIN=0 VTIME=2\n",
                            " 0 [-------------------------|-------------------------]  never "
                            "commanded\n",
                            " 2 [-------------------------|----#--------------------]  150  1591 "
                            "us   +8 deg\n",
                            " 5 [#------------------------|-------------------------]    0  1000 "
                            "us  -45 deg\n",
                            "ignored  servo 10 to 3 (not one of servos 0-7)"});
    // Narrower: the gauge shrinks, nothing wraps.
    tmux.Run("resize-window -x 40 -y 12");
    sScreen = tmux.WaitFor(" 2 [-----|#----]  150  1591 us   +8 deg");
    std::istringstream lines(sScreen);
    int nLines = 0;
    for (std::string sLine; std::getline(lines, sLine); ++nLines)
        EXPECT_LE(sLine.size(), 40u) << sLine;
    EXPECT_EQ(nLines, 12);
    // Ctrl+D: the terminal as it was, with the table of the run on it.
    tmux.Run("send-keys C-d");
    sScreen = tmux.WaitFor("servo  position     pulse     moves\n");
    EXPECT_NE(sScreen.find("    2       150   1591 us         1\n"), std::string::npos) << sScreen;
    EXPECT_EQ(tmux.Run("display-message -p '#{alternate_on} #{cursor_flag}'"), "0 1\n");

    // --log keeps the line per event at a terminal.
    CTmux logged(std::string(PLX_SSC_SIM_EXE) + " --port 8 --log");
    logged.WaitFor("line     ");
    RunTest("8\n3 200\n");
    logged.WaitFor("move     servo 3 to 200 (1787 us)");
}

}  // namespace

namespace {

// Writes packets to the simulator's line for a while, as fast as it takes them.
void Flood(const std::string& sDevice) {
    CFd port(::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(port.Get(), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    const std::vector<std::uint8_t> packets = Bytes({0xFF, 1, 2, 0xFF, 3, 4, 0xFF, 5, 6});
    while (std::chrono::steady_clock::now() < end) {
        if (::write(port.Get(), packets.data(), packets.size()) < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

TEST_F(SimulatorTest, EveryEndingRemovesTheEntryWhateverTheOutputIsDoing) {
    // Output nobody reads: the pipe fills and the report's writes block.
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "6"});
        Flood(Ready(sim));
        sim.Signal(nSignal);
        EXPECT_EQ(ExitCode(sim.Wait()), 0) << nSignal;
        EXPECT_FALSE(Exists(Entry(6))) << nSignal;
    }
    // Output that cannot be written, or whose reader went away: it ends, non-zero.
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--port", "6"}, -1, {"", 0, "/dev/full"});
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_NE(sim.Err().find("output gone: No space left on device"), std::string::npos)
            << sim.Err();
        EXPECT_FALSE(Exists(Entry(6)));
    }
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "6"});
        const std::string sDevice = Ready(sim);
        sim.CloseOutput();  // | head -1
        RunTest("6\n1 2\n");
        EXPECT_EQ(ExitCode(sim.Wait()), 1);
        EXPECT_NE(sim.Err().find("output gone: Broken pipe"), std::string::npos) << sim.Err();
        EXPECT_FALSE(Exists(Entry(6)));
    }
}

TEST_F(SimulatorTest, StartUpFailsWithoutStandardInput) {
    // A closed standard stream: its number would go to the simulator's own descriptors.
    CProgram sim(PLX_SSC_SIM_EXE, EStdin::Closed, {"--port", "6"});
    EXPECT_EQ(ExitCode(sim.Wait()), 1);
    EXPECT_EQ(sim.Err(), "plx-ssc-sim: standard input, output and error must be open\n");
    EXPECT_FALSE(Exists(Entry(6)));
}

TEST_F(SimulatorTest, AnEntryLeftByAKilledSimulatorIsTakenBackAndOnlyOneOfTwoWins) {
    std::string sDead;
    {
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "4"});
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
        CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "4"});
        const std::string sDevice = Ready(sim);
        EXPECT_NE(sim.Out().find(R"("replaced":true)"), std::string::npos) << sim.Out();
        EXPECT_EQ(PlxLinkTarget(Entry(4)), sDevice);
    }

    // Two started together for an entry left behind: one stands, the other says so.
    for (int nRound = 0; nRound < 5; ++nRound) {
        ASSERT_EQ(::symlink("/nonexistent/pts/99", Entry(5).c_str()), 0);
        CProgram first(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "5"});
        CProgram second(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "5"});
        CProgram* pLoser = nullptr;
        for (int i = 0; i < 1000 && pLoser == nullptr; ++i) {
            if (!first.Running()) pLoser = &first;
            if (!second.Running()) pLoser = &second;
            if (pLoser == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(10));
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

TEST_F(SimulatorTest, AMarkIsLiftedOnlyOnceNoProgramHoldsTheLine) {
    CProgram sim(PLX_SSC_SIM_EXE, EStdin::Pipe, {"--json", "--port", "3"});
    const std::string sDevice = Ready(sim);
    {
        // A terminal program that marks the line without locking it, and keeps it open.
        CFd other(::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        ASSERT_EQ(::ioctl(other.Get(), TIOCEXCL), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // five of its looks
        int nExclusive = 0;
        ASSERT_EQ(::ioctl(other.Get(), TIOCGEXCL, &nExclusive), 0);
        EXPECT_EQ(nExclusive, 1);
    }
    // Closed without lifting it, as a killed program leaves it: now it goes.
    EXPECT_TRUE(MarkLifted(sDevice));
}

TEST_F(SimulatorTest, TheScriptedExampleWorksAsWritten) {
    // As the README and the manual page give it; a script's background job reads /dev/null.
    const std::string sBin =
        std::string(PLX_SSC_SIM_EXE).substr(0, std::string(PLX_SSC_SIM_EXE).rfind('/'));
    const std::string sLog = m_map.ConfigHome() + "/sim.log";
    const std::string sScript =
        "PATH=" + sBin + ":$PATH; cd " + m_map.ConfigHome() + "\n" +
        "plx-ssc-sim --port 1 > sim.log &\n"
        "until [ -L \"${XDG_CONFIG_HOME:-$HOME/.config}/plx/ports/com1\" ]; do sleep 0.1; done\n"
        "printf '1\\n2 150\\n' | plx-ssc-test > /dev/null\n"
        "status=$?\n"
        "kill $!; wait $!\n"
        "exit $status\n";
    CProgram shell("/bin/sh", EStdin::Pipe, {"-c", sScript});
    shell.CloseInput();
    EXPECT_EQ(ExitCode(shell.Wait()), 0) << shell.Err();
    EXPECT_NE(ReadFileText(sLog).find("move     servo 2 to 150 (1591 us)"), std::string::npos)
        << ReadFileText(sLog);
}

}  // namespace

// The built program, driven through a pseudo-terminal as a person would drive it.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <tuple>

#include "serial/CommPort.h"
#include "tests/TestProgram.h"
#include "tests/TestSupport.h"

#ifndef PLX_SSC_TEST_EXE
#error "PLX_SSC_TEST_EXE must name the built program"
#endif

namespace {

const std::string& kBanner = kExpectedBanner;

class EndToEndTest : public ::testing::Test {
protected:
    EndToEndTest() { m_map.Map(5, m_port.SlavePath()); }

    // Answers the port prompt with COM5 and sends a first pair, checking it arrives.
    void StartSession(CProgram& program, const std::string& sPair,
                      const std::vector<std::uint8_t>& packet) {
        program.WaitForOutput(kPortPrompt);
        program.Type("5\n");
        program.WaitForOutput(kServoPrompt);
        program.Type(sPair + "\n");
        EXPECT_EQ(m_port.Read(3, program), packet);
    }
    CPortMap m_map;  // the program inherits XDG_CONFIG_HOME
    CPseudoTerminal m_port;
};

TEST_F(EndToEndTest, APersonTypesPairsAndTheControllerGetsOnePacketEach) {
    CProgram program(PLX_SSC_TEST_EXE, EStreams::Terminal);
    StartSession(program, "2 150", Bytes({0xFF, 0x02, 0x96}));
    // Like a person, type only once the prompt is back: the terminal echoes keys at once.
    program.WaitForOutput("2 150\r\n" + kServoPrompt);
    // Half a pair sends nothing: what comes after both halves is exactly their one packet.
    program.Type("3\n");
    program.WaitForOutput(kServoPrompt + "3\r\n");
    program.Type("200\n");
    EXPECT_EQ(m_port.Read(3, program), Bytes({0xFF, 0x03, 0xC8}));
    program.WaitForOutput("200\r\n" + kServoPrompt);
    program.Type("10 13\n");  // a line feed and a carriage return, as bytes
    EXPECT_EQ(m_port.Read(3, program), Bytes({0xFF, 0x0A, 0x0D}));
    program.WaitForOutput(kServoPrompt + "10 13\r\n" + kServoPrompt);
    program.Type("\x04");  // Ctrl+D: end of input
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    // The terminal echoes what was typed and turns each line end into CR LF.
    std::string sScreen = kBanner + kPortPrompt + "5\n\n" + kServoPrompt + "2 150\n" +
                          kServoPrompt + "3\n200\n" + kServoPrompt + "10 13\n" + kServoPrompt +
                          "\n";
    for (std::size_t i = 0; (i = sScreen.find('\n', i)) != std::string::npos; i += 2)
        sScreen.replace(i, 1, "\r\n");
    EXPECT_EQ(program.Out(), sScreen);
}

TEST_F(EndToEndTest, CtrlCAndEveryOtherEndingSignalLeaveThePortFree) {
    // On a pseudo-terminal the exclusive mark outlives the program unless it lifts it itself;
    // left there, it would keep every ordinary user out. Some of these signals write a core file
    // by default: none is wanted here.
    rlimit core = {};
    ASSERT_EQ(::getrlimit(RLIMIT_CORE, &core), 0);
    const rlimit noCore = {0, core.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_CORE, &noCore), 0);
    // SIGPIPE last: the reader of the output goes away, as with `| head -c1`.
    for (int nSignal :
         {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGALRM, SIGXFSZ, SIGRTMIN + 1, SIGPIPE}) {
        CProgram program(PLX_SSC_TEST_EXE,
                         nSignal == SIGPIPE ? EStreams::Pipe : EStreams::Terminal);
        StartSession(program, "1 2", Bytes({0xFF, 0x01, 0x02}));
        if (nSignal == SIGINT) {
            program.Type("\x03");
        } else if (nSignal == SIGPIPE) {
            program.CloseOutput();
            program.Type("3 4\n");
        } else {
            program.Signal(nSignal);
        }
        const int nStatus = program.Wait();
        ASSERT_TRUE(WIFSIGNALED(nStatus)) << nSignal;
        EXPECT_EQ(WTERMSIG(nStatus), nSignal);
        int nExclusive = 1;
        ASSERT_EQ(::ioctl(m_port.Slave(), TIOCGEXCL, &nExclusive), 0);
        EXPECT_EQ(nExclusive, 0) << nSignal;
    }
    ::setrlimit(RLIMIT_CORE, &core);
    CStderrCapture capture;
    CCommPort port(5, 9600);
    EXPECT_TRUE(port.Open()) << capture.Text();
}

// Another program's hold on the line: it opened it, gave it its own settings and then locked
// it, changed its line discipline and marked it, as asked.
struct CHold {
    const char* pszHow;
    bool bLock;
    bool bMark;
    bool bDiscipline;
    const char* pszPath = nullptr;
    termios settings{};

    static bool Take(const void* pThis) {
        const auto& hold = *static_cast<const CHold*>(pThis);
        const int fd = ::open(hold.pszPath, O_RDWR | O_NOCTTY);
        int nDiscipline = hold.bDiscipline ? 27 : N_TTY;  // N_NULL
        return fd >= 0 && tcsetattr(fd, TCSANOW, &hold.settings) == 0 &&
               (!hold.bLock || ::flock(fd, LOCK_EX | LOCK_NB) == 0) &&
               ::ioctl(fd, TIOCSETD, &nDiscipline) == 0 &&
               (!hold.bMark || ::ioctl(fd, TIOCEXCL) == 0);
    }
};

// Every way another program can hold a line, for root (who gets past an exclusive mark) and
// for an ordinary user: refused before anything on it changes, its holder named where this
// user may know it (never the pseudo-terminal's far end, here the test), or shared where
// nothing marks it; a mark, a discipline and settings that are another program's are left
// exactly as they were, and nothing is written.
TEST_F(EndToEndTest, AnotherProgramsLineIsLeftExactlyAsItWasByRootAndAsNobody) {
    CHold holds[] = {{"flock", true, false, false},
                     {"mark", false, true, false},
                     {"flock and mark", true, true, false},
                     {"discipline", false, false, true},
                     {"discipline and mark", false, true, true},
                     {"open", false, false, false}};
    CPortMap map(true);
    if (!map.Usable()) GTEST_SKIP() << "no temporary folder that nobody can reach";
    map.Map(5, m_port.SlavePath());
    ASSERT_EQ(::chmod(m_port.SlavePath().c_str(), 0666), 0);
    std::string sName = ReadFileText("/proc/self/comm");  // the holder's, a child of the test
    sName = sName.substr(0, sName.find('\n'));
    termios theirs;
    ASSERT_EQ(tcgetattr(m_port.Slave(), &theirs), 0);
    cfsetspeed(&theirs, B4800);
    theirs.c_cflag |= CSTOPB;
    for (int nUid : {-1, OtherUser()}) {
        if (nUid == -1 && OtherUser() == -1) continue;  // the one user is the ordinary one
        for (CHold& hold : holds) {
            SCOPED_TRACE(std::string(hold.pszHow) + (nUid < 0 ? " as this user" : " as nobody"));
            const int nDiscipline = hold.bDiscipline ? 27 : N_TTY;  // N_NULL
            int nAfter = N_TTY;
            {
                hold.pszPath = m_port.SlavePath().c_str();
                hold.settings = theirs;
                const CChildProgram holder(CHold::Take, &hold);
                // Only a kernel without n_null may keep a hold from being taken.
                if (!holder.Ready() && hold.bDiscipline) {
                    std::cout << "[ NOTE ] no line discipline n_null here: not tried" << std::endl;
                    continue;
                }
                ASSERT_TRUE(holder.Ready()) << "the holder could not take the line";
                CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe, {}, nUid);
                program.Type("5\n0 100\n");
                program.CloseInput();
                const int nStatus = program.Wait();
                int nMarked = -1;
                EXPECT_EQ(::ioctl(m_port.Slave(), TIOCGEXCL, &nMarked), 0);
                EXPECT_EQ(nMarked, hold.bMark ? 1 : 0);
                EXPECT_EQ(::ioctl(m_port.Slave(), TIOCGETD, &nAfter), 0);
                ASSERT_TRUE(WIFEXITED(nStatus));
                if (!hold.bLock && !hold.bMark && !hold.bDiscipline) {
                    // Nothing says the line is anyone's: the program takes it, and lets it go.
                    EXPECT_EQ(WEXITSTATUS(nStatus), 0) << program.Err();
                    EXPECT_EQ(m_port.Written(), Bytes({0xFF, 0x00, 0x64}));
                    continue;
                }
                EXPECT_EQ(WEXITSTATUS(nStatus), 1);
                EXPECT_EQ(program.Out(),
                          kBanner + kPortPrompt + "\nUnable to open communications port.\n");
                EXPECT_NE(program.Err().find("        Device or resource busy"), std::string::npos);
                std::string sWhy =
                    ", held by " + sName + " (pid " + std::to_string(holder.Pid()) + ").\n";
                if (hold.bDiscipline && !(hold.bMark && nUid >= 0))
                    sWhy = ", on which another program runs the line discipline n_null";
                else if (!hold.bLock && nUid >= 0)  // root's open files are not nobody's to see
                    sWhy = ", held by another program that could not be told: often a terminal";
                EXPECT_NE(program.Err().find("com5 -> " + m_port.SlavePath() + sWhy),
                          std::string::npos)
                    << program.Err();
                // The right port, only busy: no command to map another in its place.
                if (sWhy.rfind(", held by ", 0) == 0) {
                    EXPECT_EQ(program.Err().find("ln -sfn"), std::string::npos) << program.Err();
                }
            }
            EXPECT_EQ(nAfter, nDiscipline);
            // What the holder left on the line goes with it, as on a port whose last user closed
            // it; then its settings can be read, and whatever the program wrote would show.
            int nTty = N_TTY;
            ASSERT_EQ(::ioctl(m_port.Slave(), TIOCSETD, &nTty), 0);
            ASSERT_EQ(::ioctl(m_port.Slave(), TIOCNXCL), 0);
            termios now;
            ASSERT_EQ(tcgetattr(m_port.Slave(), &now), 0);
            EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B4800));
            EXPECT_EQ(
                std::make_tuple(now.c_iflag, now.c_oflag, now.c_cflag, now.c_lflag),
                std::make_tuple(theirs.c_iflag, theirs.c_oflag, theirs.c_cflag, theirs.c_lflag));
            EXPECT_EQ(std::memcmp(now.c_cc, theirs.c_cc, sizeof(now.c_cc)), 0);
            EXPECT_EQ(m_port.Written(), Bytes({}));
        }
    }
}

TEST_F(EndToEndTest, APortThatWillNotOpenShowsTheBoxUntilEnterWhereItCanBeSeen) {
    m_map.Map(7, m_map.ConfigHome() + "/unplugged");
    CProgram program(PLX_SSC_TEST_EXE, EStreams::Terminal);
    program.WaitForOutput(kPortPrompt);
    program.Type("7\n\n");  // an Enter typed ahead, before the box is there, is no answer to it
    const std::string sScreen = program.WaitForOutput("[ OK ]");
    EXPECT_NE(sScreen.find("Windows Communications Error"), std::string::npos);
    EXPECT_NE(sScreen.find("communication port 7:"), std::string::npos);
    EXPECT_NE(sScreen.find("No such file or directory"), std::string::npos);
    // The box waits for the person: the program reads its input, having said nothing more.
    EXPECT_TRUE(program.WaitUntil([&] { return program.WaitingForInput(); }));
    EXPECT_FALSE(program.Shows("Unable to open communications port."));
    program.Type("\n");
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 1);
    // After the box, help in finding the port, then the failure line.
    ExpectInOrder(
        program.Out(),
        {"[ OK ]", "COM7 is " + m_map.Directory() + "/com7 -> ", ", which does not exist.",
         "To use a port as COM7:\r\n  mkdir -p ", "Unable to open communications port.\r\n"});
    EXPECT_EQ(program.Out().find(kServoPrompt), std::string::npos);
}

TEST_F(EndToEndTest, WhereNobodyCanSeeTheBoxItDoesNotWait) {
    // From pipes, and at a terminal with standard error in a file (2>err.log): the box and the
    // help after it go to standard error, and the dialogue's line ends the run, nothing more read.
    for (EStreams mode : {EStreams::Pipe, EStreams::TerminalErrorPipe}) {
        CProgram program(PLX_SSC_TEST_EXE, mode);
        program.WaitForOutput(kPortPrompt);
        program.Type("0\n1 2\n");
        program.WaitForError("[ OK ]");
        EXPECT_FALSE(program.WaitUntil([&] { return program.WaitingForInput(); }));
        const int nStatus = program.Wait();
        ASSERT_TRUE(WIFEXITED(nStatus));
        EXPECT_EQ(WEXITSTATUS(nStatus), 1);
        const std::string& sErr = program.Err();
        ExpectInOrder(sErr, {"communication port 0:", "        No such file or directory", "[ OK ]",
                             "To use a port as COM0:\n  mkdir -p "});
        // The help's command is the last line there: the dialogue itself says nothing on it.
        EXPECT_EQ(sErr.find('\n', sErr.find("  mkdir -p ")), sErr.size() - 1) << sErr;
        if (mode == EStreams::Pipe)
            EXPECT_EQ(program.Out(),
                      kBanner + kPortPrompt + "\nUnable to open communications port.\n");
        else
            ExpectInOrder(program.Out(), {kPortPrompt, "Unable to open communications port."});
        EXPECT_EQ(program.Out().find(kServoPrompt), std::string::npos);
    }
}

TEST_F(EndToEndTest, PipedInputGivesExactlyTheDialogueAndIgnoresArguments) {
    CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe, {"--help", "COM9"});
    program.Type("5\n1 2\n");
    program.CloseInput();
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    EXPECT_EQ(program.Out(), kBanner + kPortPrompt + "\n" + kServoPrompt + kServoPrompt + "\n");
    EXPECT_EQ(program.Err(), "");
    EXPECT_EQ(m_port.Written(), Bytes({0xFF, 0x01, 0x02}));
}

TEST_F(EndToEndTest, StartUpFailsWithoutStandardInput) {
    CProgram program(PLX_SSC_TEST_EXE, EStreams::Closed);
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 1);
    EXPECT_EQ(program.Out(), "");
    EXPECT_EQ(program.Err(), "Fatal Error: MFC initialization failed\n");
    termios tio;
    ASSERT_EQ(tcgetattr(m_port.Master(), &tio), 0);
    EXPECT_NE(tio.c_lflag & ICANON, 0u);  // the port was never touched
}

TEST_F(EndToEndTest, APortThatFailsMidSessionOrAtItsReleaseIsReported) {
    // The mark cannot be lifted at the end: the port may stay busy for others, which is told.
    {
        CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe, {}, -1, {"", 0, "", TIOCNXCL});
        program.Type("5\n1 2\n");
        program.CloseInput();
        const int nStatus = program.Wait();
        ASSERT_TRUE(WIFEXITED(nStatus));
        EXPECT_EQ(WEXITSTATUS(nStatus), 1);
        EXPECT_EQ(program.Err(), "Unable to release COM5: Input/output error\n");
        EXPECT_EQ(m_port.Written(), Bytes({0xFF, 0x01, 0x02}));
        EXPECT_EQ(::ioctl(m_port.Slave(), TIOCNXCL), 0);
    }

    CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe);
    program.Type("5\n1 2\n");
    EXPECT_EQ(m_port.Read(3, program), Bytes({0xFF, 0x01, 0x02}));
    m_port.CloseMaster();  // the adapter is pulled out
    program.Type("3 4\n5 6\n");
    program.CloseInput();
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 1);  // not every packet went out
    EXPECT_EQ(program.Err(),
              "Unable to write to COM5: Input/output error\n"
              "Unable to write to COM5: Input/output error\n");
    EXPECT_EQ(program.Out(), kBanner + kPortPrompt + "\n" + kServoPrompt + kServoPrompt +
                                 kServoPrompt + kServoPrompt + "\n");
}

TEST_F(EndToEndTest, AnUnreadablePortMapAndAGroupsPortAreReportedAsNobody) {
    // Root reads any directory and opens any device; run the program as nobody then, so that
    // the refusal is real.
    CPortMap map(true);
    if (!map.Usable()) GTEST_SKIP() << "no temporary folder that nobody can reach";
    ASSERT_EQ(::chmod(map.Directory().c_str(), 0), 0);
    CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe, {}, OtherUser());
    program.Type("1\n");
    program.CloseInput();
    const int nStatus = program.Wait();
    ::chmod(map.Directory().c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 1);
    // Not "No such file or directory" from a serial device it fell back to.
    EXPECT_NE(program.Err().find("communication port 1:"), std::string::npos) << program.Err();
    EXPECT_NE(program.Err().find("        Permission denied"), std::string::npos) << program.Err();
    EXPECT_NE(program.Err().find("The port map " + map.Directory() + " cannot be read"),
              std::string::npos);
    EXPECT_EQ(program.Out(), kBanner + kPortPrompt + "\nUnable to open communications port.\n");

    // A port only its group may open, as serial ports are dialout's: the group to join.
    if (OtherUser() < 0) return;  // this user's own terminal would open
    const group* pDialout = ::getgrnam("dialout");
    ASSERT_NE(pDialout, nullptr);
    ASSERT_EQ(::chown(m_port.SlavePath().c_str(), 0, pDialout->gr_gid), 0);
    ASSERT_EQ(::chmod(m_port.SlavePath().c_str(), 0660), 0);
    map.Map(2, m_port.SlavePath());
    CProgram refused(PLX_SSC_TEST_EXE, EStreams::Pipe, {}, OtherUser());
    refused.Type("2\n");
    refused.CloseInput();
    EXPECT_EQ(WEXITSTATUS(refused.Wait()), 1);
    ExpectInOrder(refused.Err(),
                  {"        Permission denied",
                   "com2 -> " + m_port.SlavePath() + ", which only the group dialout may open.\n" +
                       "To be let in, join dialout, then log in again:\n" +
                       "  sudo usermod -aG dialout nobody\nSerial ports on this machine"});
}

TEST_F(EndToEndTest, StatusIsOneWhenTheConsoleItselfFails) {
    // Output that cannot be written: the packets still go out, and one line says what failed.
    {
        CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe, {}, -1, {"", 0, "/dev/full"});
        program.Type("5\n1 2\n");
        program.CloseInput();
        const int nStatus = program.Wait();
        ASSERT_TRUE(WIFEXITED(nStatus));
        EXPECT_EQ(WEXITSTATUS(nStatus), 1);
        EXPECT_EQ(program.Err(), "Unable to write to standard output: No space left on device\n");
        EXPECT_EQ(m_port.Written(), Bytes({0xFF, 0x01, 0x02}));
    }
    // The reader of the output gone mid-session where SIGPIPE does not end the program (ignored,
    // or Windows): the reason of the write that failed, not of some later call.
    {
        CProgram program("/bin/sh", EStreams::Pipe,
                         {"-c", std::string("trap '' PIPE; exec ") + PLX_SSC_TEST_EXE});
        program.Type("5\n1 2\n");
        EXPECT_EQ(m_port.Read(3, program), Bytes({0xFF, 0x01, 0x02}));
        program.CloseOutput();
        program.Type("3 4\n");
        program.CloseInput();
        const int nStatus = program.Wait();
        ASSERT_TRUE(WIFEXITED(nStatus));
        EXPECT_EQ(WEXITSTATUS(nStatus), 1);
        EXPECT_EQ(program.Err(), "Unable to write to standard output: Broken pipe\n");
        EXPECT_EQ(m_port.Written(), Bytes({0xFF, 0x03, 0x04}));
    }
    // Input that cannot be read is not the end of input.
    const std::vector<std::pair<CRedirect, std::string>> kUnreadable = {
        {{"/", O_RDONLY | O_DIRECTORY, ""}, "Is a directory"},
        {{"/dev/null", O_WRONLY, ""}, "Bad file descriptor"}};
    for (const auto& unreadable : kUnreadable) {
        CProgram program(PLX_SSC_TEST_EXE, EStreams::Pipe, {}, -1, unreadable.first);
        const int nStatus = program.Wait();
        ASSERT_TRUE(WIFEXITED(nStatus));
        EXPECT_EQ(WEXITSTATUS(nStatus), 1);
        EXPECT_EQ(program.Err(), "Unable to read standard input: " + unreadable.second + "\n");
        EXPECT_EQ(program.Out(), kBanner + kPortPrompt + "\n");
    }
}

}  // namespace

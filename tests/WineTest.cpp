// plx-ssc-test.exe under Wine, driven from Linux as a person would drive it on Windows, with
// pseudo-terminals linked into the Wine prefix as its COM ports. Run by ./test --windows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "tests/TestProgram.h"
#include "tests/TestSupport.h"

#if !defined(PLX_WINDOWS_BUILD) || !defined(PLX_WINE_PREFIX) || !defined(PLX_WINE_RUN)
#error \
    "PLX_WINDOWS_BUILD, PLX_WINE_PREFIX and PLX_WINE_RUN must name the Windows build, the Wine prefix and the Wine wrapper"
#endif

namespace {

// Line ends as a Windows console program in text mode writes them.
std::string Crlf(std::string s) {
    for (std::size_t i = 0; (i = s.find('\n', i)) != std::string::npos; i += 2)
        s.replace(i, 1, "\r\n");
    return s;
}

int ExitCode(int nStatus) { return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1; }

// The build under test: the 64-bit one unless PLX_WINDOWS_BUILD names another.
std::string Build() {
    const char* pszBuild = std::getenv("PLX_WINDOWS_BUILD");
    return pszBuild != nullptr && *pszBuild != '\0' ? pszBuild : PLX_WINDOWS_BUILD;
}

class WineTest : public ::testing::Test {
protected:
    WineTest() { ::setenv("WINEPREFIX", PLX_WINE_PREFIX, 1); }
    ~WineTest() override {
        for (const std::string& sLink : m_links) ::unlink(sLink.c_str());
    }

    // dosdevices/comN -> sTarget: COMn in the prefix.
    void Link(int nPort, const std::string& sTarget) {
        const std::string sLink =
            std::string(PLX_WINE_PREFIX) + "/dosdevices/com" + std::to_string(nPort);
        ::unlink(sLink.c_str());
        ASSERT_EQ(::symlink(sTarget.c_str(), sLink.c_str()), 0)
            << sLink << ": " << std::strerror(errno);
        m_links.push_back(sLink);
    }

    static std::string Exe(const char* pszName) { return Build() + "/" + pszName; }
    // The machine's COM ports, as its serial port drivers list them.
    static void SerialComm(const std::vector<std::string>& devicesAndPorts) {
        std::string sArgs;
        for (const std::string& s : devicesAndPorts) sArgs += " '" + s + "'";
        EXPECT_EQ(std::system((std::string(PLX_WINE_RUN) + " " + Exe("plx-win-helper.exe") +
                               " serialcomm" + sArgs + " </dev/null >/dev/null 2>&1")
                                  .c_str()),
                  0);
    }
    // The first window whose name matches sPattern, once the program shows it; empty when the
    // program ended first.
    static std::string WaitForWindow(CProgram& program, const std::string& sPattern) {
        std::string sWindow;
        program.WaitUntil([&] {
            sWindow = CommandOutput("xdotool search --name '" + sPattern + "' 2>/dev/null");
            return !sWindow.empty();
        });
        return sWindow.substr(0, sWindow.find('\n'));
    }
    // No window manager here: the window gets the focus directly, then the keys.
    static void PressKeys(const std::string& sWindow, const std::string& sKeys) {
        CommandOutput("xdotool windowfocus --sync " + sWindow + " key " + sKeys + " 2>/dev/null");
    }
    // What a person reads in a Windows program's console window, with '\n' line ends.
    static std::string Screen(const char* pszProgram) {
        std::string sScreen =
            CommandOutput(std::string(PLX_WINE_RUN) + " " + Exe("plx-win-helper.exe") +
                          " console " + pszProgram + " </dev/null 2>/dev/null");
        sScreen.erase(std::remove(sScreen.begin(), sScreen.end(), '\r'), sScreen.end());
        return sScreen;
    }
    // The same file as Windows names it: Wine's drive Z: is the root.
    static std::string WindowsPath(std::string sPath) {
        for (char& c : sPath)
            if (c == '/') c = '\\';
        return "Z:" + sPath;
    }

    std::vector<std::string> m_links;
};

TEST_F(WineTest, TheDialogueAndTheWireAreAsOnLinuxAndComTwelveIsReached) {
    CPseudoTerminal port;
    termios tio;  // a line set up for something else: cooked, with flow control
    ASSERT_EQ(tcgetattr(port.Slave(), &tio), 0);
    tio.c_iflag |= IXON | IXOFF;
    tio.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(port.Slave(), TCSANOW, &tio), 0);
    Link(12, port.SlavePath());  // \\.\COM12: the plain name stops at COM9

    CProgram program(PLX_WINE_RUN, EStreams::Pipe, {Exe("plx-ssc-test.exe")});
    program.Type("12\n2 150\n10 13\n17 19\nx 1\n255 0\n");
    program.CloseInput();
    EXPECT_EQ(ExitCode(program.Wait()), 0) << program.Err();
    EXPECT_EQ(program.Out(),
              Crlf(kExpectedBanner + kPortPrompt + "\n" + kServoPrompt + kServoPrompt +
                   kServoPrompt + kServoPrompt + kNotAPair + kServoPrompt + kServoPrompt + "\n"));
    EXPECT_EQ(program.Err(), "");
    EXPECT_EQ(port.Written(),
              Bytes({0xFF, 0x02, 0x96, 0xFF, 0x0A, 0x0D, 0xFF, 0x11, 0x13, 0xFF, 0xFF, 0x00}));

    // The line as the far end sees it: 9600 8N1, raw, no flow control.
    ASSERT_EQ(tcgetattr(port.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);

    // An earlier program left the line's output held (EscapeCommFunction(SETXOFF), which Wine
    // makes tcflow(TCOOFF)); the hold lasts while anything has the line open, here the test.
    ASSERT_EQ(::tcflow(port.Slave(), TCOOFF), 0);
    // What reaches the driver, as Wine traces it: the errors another program left pending are
    // cleared (ClearCommError asks for the line's status) right after the open, before the line
    // is set up and before the first write; output is resumed once the line is set.
    CEnvironment trace("WINEDEBUG", "+comm");
    CProgram traced(PLX_WINE_RUN, EStreams::Pipe, {Exe("plx-ssc-test.exe")});
    traced.Type("12\n");
    traced.WaitForOutput(Crlf(kServoPrompt));
    // The line is set up: a byte goes through at once, where held output would take none.
    CFd probe(::open(port.SlavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_EQ(::write(probe.Get(), "\x55", 1), 1) << "the line's output is still held";
    traced.Type("1 2\n");
    traced.CloseInput();
    EXPECT_EQ(ExitCode(traced.Wait()), 0);
    ExpectInOrder(traced.Err(), {"IOCTL_SERIAL_GET_COMMSTATUS", "IOCTL_SERIAL_SET_QUEUE_SIZE",
                                 "IOCTL_SERIAL_SET_BAUD_RATE", "IOCTL_SERIAL_SET_HANDFLOW",
                                 "IOCTL_SERIAL_SET_XON"});
    EXPECT_EQ(port.Written(), Bytes({0x55, 0xFF, 0x01, 0x02}));
}

TEST_F(WineTest, InputIsTakenAsBytesAsItComesAndOutputFailsInTheSystemsWords) {
    // Through the runtime's own standard input, a line at a time: a lone CR is acted on at once
    // (each packet checked before the next line goes), and Ctrl+Z is a byte like any other.
    CPseudoTerminal port;
    Link(5, port.SlavePath());
    {
        CProgram program(PLX_WINE_RUN, EStreams::Pipe, {Exe("plx-ssc-test.exe")});
        program.Type("5\r");
        program.WaitForOutput(Crlf(kPortPrompt + "\n" + kServoPrompt));
        program.Type("2 150\r");
        EXPECT_EQ(port.Read(3, program), Bytes({0xFF, 0x02, 0x96}));
        program.Type(
            "2 1\x1a"
            "50\r\n");
        program.WaitForOutput(Crlf(kNotAPair + kServoPrompt));
        program.Type("3 4\r\n");
        EXPECT_EQ(port.Read(3, program), Bytes({0xFF, 0x03, 0x04}));
        program.CloseInput();
        EXPECT_EQ(ExitCode(program.Wait()), 0) << program.Err();
        EXPECT_EQ(port.Written(), Bytes({}));
    }
    // Nobody reads the output: the system's reason, not the runtime's "Invalid argument".
    CProgram program(PLX_WINE_RUN, EStreams::Pipe, {Exe("plx-ssc-test.exe")});
    program.CloseOutput();
    program.Type("5\n1 2\n");
    program.CloseInput();
    EXPECT_EQ(ExitCode(program.Wait()), 1);
    // What Windows says of a pipe whose reader has gone (ERROR_NO_DATA), or Wine's word for it.
    EXPECT_TRUE(program.Err() ==
                    "Unable to write to standard output: The pipe is being closed.\r\n" ||
                program.Err() == "Unable to write to standard output: Pipe not connected.\r\n")
        << program.Err();
    EXPECT_EQ(port.Written(), Bytes({0xFF, 0x01, 0x02}));
}

TEST_F(WineTest, APortThatVanishesIsReportedAtEveryPair) {
    CPseudoTerminal port;
    Link(5, port.SlavePath());
    CProgram program(PLX_WINE_RUN, EStreams::Pipe, {Exe("plx-ssc-test.exe")});
    program.Type("5\n1 2\n");
    EXPECT_EQ(port.Read(3, program), Bytes({0xFF, 0x01, 0x02}));
    port.CloseMaster();  // the adapter is pulled out
    program.Type("3 4\n5 6\n");
    program.CloseInput();
    EXPECT_EQ(ExitCode(program.Wait()), 1);  // not every packet went out
    // One line per pair, with the system's text on it and nothing after it but the line end.
    const std::string& sErr = program.Err();
    const std::string kLine = "Unable to write to COM5: ";
    ASSERT_EQ(sErr.rfind(kLine, 0), 0u) << sErr;
    const std::string sFirst = sErr.substr(0, sErr.find("\r\n") + 2);
    EXPECT_GT(sFirst.size(), kLine.size() + 2);
    EXPECT_EQ(sErr, sFirst + sFirst);
}

TEST_F(WineTest, StartUpFailsWithoutAStandardHandle) {
    CProgram program(PLX_WINE_RUN, EStreams::Pipe,
                     {Exe("plx-win-helper.exe"), "nostdin", WindowsPath(Exe("plx-ssc-test.exe"))});
    program.CloseInput();
    EXPECT_EQ(ExitCode(program.Wait()), 1);
    EXPECT_EQ(program.Out(), "");
    EXPECT_EQ(program.Err(), "Fatal Error: MFC initialization failed\r\n");
}

TEST_F(WineTest, NothingStartsWhileAComPortLeadsToARealDevice) {
    Link(9, "/dev/null");  // a device, as the machine's serial ports are
    CProgram program(PLX_WINE_RUN, EStreams::Pipe, {Exe("plx-ssc-test.exe")});
    program.CloseInput();
    EXPECT_EQ(ExitCode(program.Wait()), 125);
    EXPECT_NE(program.Err().find("refusing to start: "), std::string::npos) << program.Err();
    EXPECT_EQ(program.Out(), "");  // the program never ran
}

TEST_F(WineTest, WhereTheKernelRunsNo32BitProgramsOnlyThe64BitBuildStarts) {
    // Such a kernel, as far as Wine can tell: its 32-bit loader replaced, in a mount namespace of
    // the test's own, by one whose ELF header names a machine this kernel cannot run.
    CTempDir dir;
    const std::string sLoader = dir.Path() + "/wine";
    std::string sElf = ReadFileText("/usr/lib/wine/wine");
    ASSERT_GT(sElf.size(), 20u) << "no 32-bit Wine loader";
    sElf[18] = '\xb7';  // e_machine: AArch64
    sElf[19] = '\0';
    std::ofstream(sLoader, std::ios::binary) << sElf;
    ASSERT_EQ(::chmod(sLoader.c_str(), 0755), 0);
    if (std::system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "this user cannot make a mount namespace (unshare -m)";
    auto Unshared = [&](const std::vector<std::string>& args) {
        std::vector<std::string> all = {
            "-m",      "--propagation",
            "private", "sh",
            "-c",      "mount --bind \"$0\" /usr/lib/wine/wine && exec \"$@\"",
            sLoader};
        all.insert(all.end(), args.begin(), args.end());
        return std::make_unique<CProgram>("/usr/bin/unshare", EStreams::Pipe, all);
    };
    const std::string sWhy =
        "this machine runs no 32-bit programs (/usr/lib/wine/wine --version: Exec format error)\n";
    auto probe = Unshared({PLX_WINE_RUN, "--runs-32-bit"});
    EXPECT_EQ(ExitCode(probe->Wait()), 1);
    EXPECT_EQ(probe->Out(), sWhy);

    auto program = Unshared({PLX_WINE_RUN, Exe("plx-ssc-test.exe")});
    program->CloseInput();
    const int nStatus = ExitCode(program->Wait());
    if (Build().find("-x86") == std::string::npos) {
        EXPECT_EQ(nStatus, 1);  // the input ended before a port was given
        EXPECT_NE(program->Out().find(Crlf(kPortPrompt)), std::string::npos) << program->Err();
    } else {
        EXPECT_EQ(nStatus, 126);
        EXPECT_EQ(program->Err(), "wine-run: cannot run " + Exe("plx-ssc-test.exe") +
                                      ", a 32-bit program: " + sWhy);
        EXPECT_EQ(program->Out(), "");
    }
}

TEST_F(WineTest, TheBoxAPersonSeesAndDismissesWithEnterThenTheComPorts) {
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "no X display (./test --windows starts one)";
    CTempDir dir;
    const std::string sFile = dir.Path() + "/not-a-port";
    std::ofstream(sFile) << "text";
    Link(8, sFile);  // opens, but is no serial line: the line cannot be set up
    const std::string sArtifacts = Build() + "/artifacts";
    ::mkdir(sArtifacts.c_str(), 0755);
    for (int nPort : {7, 8}) {
        // Two ports for COM7's run, as Device Manager would list them; none for COM8's.
        if (nPort == 7) SerialComm({"\\Device\\Serial0", "COM1", "\\Device\\VCP0", "COM4"});
        if (nPort == 8) SerialComm({});
        // COM7 from pipes; COM8 in a console window of its own, as a double-click starts it.
        const bool bWindow = nPort == 8;
        CProgram program(PLX_WINE_RUN, EStreams::Pipe,
                         bWindow ? std::vector<std::string>{"wineconsole", Exe("plx-ssc-test.exe")}
                                 : std::vector<std::string>{Exe("plx-ssc-test.exe")});
        std::string sConsole;
        if (bWindow) {
            sConsole = WaitForWindow(program, "plx-ssc-test\\.exe$");
            ASSERT_FALSE(sConsole.empty()) << "no console window";
            PressKeys(sConsole, std::to_string(nPort) + " Return");
        } else {
            program.Type(std::to_string(nPort) + "\n");
        }
        const std::string sWindow = WaitForWindow(program, "^Windows Communications Error$");
        ASSERT_FALSE(sWindow.empty()) << "no box for COM" << nPort;
        EXPECT_TRUE(program.Running());  // the box is modal: the program waits for it

        std::string sText =
            CommandOutput(std::string(PLX_WINE_RUN) + " " + Exe("plx-win-helper.exe") +
                          " box 'Windows Communications Error' </dev/null");
        sText.erase(std::remove(sText.begin(), sText.end(), '\r'), sText.end());
        ExpectInOrder(sText, {"Windows Communications Error\n",
                              "Windows reported the following error while attempting to open "
                              "communication port " +
                                  std::to_string(nPort) + ":",
                              "PLX operation will continue without communication port access.",
                              "Resolve the error and restart PLX."});
        EXPECT_NE(sText.find("\nOK\n"), std::string::npos) << sText;  // its one button
        // The system's own reason stands between the header and the two closing sentences.
        const std::size_t nHeader = sText.find("port " + std::to_string(nPort) + ":") + 8;
        const std::size_t nClosing = sText.find("PLX operation will continue");
        std::string sReason = sText.substr(nHeader, nClosing - nHeader);
        sReason.erase(0, sReason.find_first_not_of(" \t\r\n"));
        EXPECT_GT(sReason.size(), 3u) << sText;
        if (nPort == 7) {
            // A program with no desktop to show the box on (a service, no display) puts its text
            // on standard error, so that the reason is never lost. Run while this box stands:
            // Wine's desktop, which keeps the display it started with, stays up meanwhile.
            // COM4, one of the machine's ports, leads to the file: the help after the box says
            // what the system's reason means, and asks about no other program.
            CEnvironment noDisplay("DISPLAY", nullptr);
            Link(4, sFile);
            CProgram blind(PLX_WINE_RUN, EStreams::Pipe, {Exe("plx-ssc-test.exe")});
            blind.Type("4\n");
            blind.CloseInput();
            EXPECT_EQ(ExitCode(blind.Wait()), 1);
            // Each line end of the box's text is one CR LF there, the one that ends the system's
            // text included.
            ExpectInOrder(
                blind.Err(),
                {"Windows Communications Error: Windows reported the following error "
                 "while attempting to open communication port 4:\r\n",
                 ".\r\n\r\nPLX operation will continue", "Resolve the error and restart PLX.\r\n",
                 "  COM4\r\nCOM4 is one of them, but what opened under that name is not "
                 "a serial port.\r\n"});
            EXPECT_EQ(blind.Err().find("\r\r"), std::string::npos) << blind.Err();
        }

        // The picture is the whole box, its title bar included: taller than its inside.
        const std::string sGeometry =
            CommandOutput("xdotool getwindowgeometry " + sWindow + " 2>/dev/null");
        const std::size_t nX = sGeometry.find('x', sGeometry.find("Geometry: "));
        const int nClient = std::atoi(sText.substr(sText.find("client height ") + 14).c_str());
        EXPECT_GT(std::atoi(sGeometry.c_str() + nX + 1), nClient + 10) << sGeometry << sText;
        const std::string sShot = sArtifacts + "/box-com" + std::to_string(nPort) + ".png";
        CommandOutput("import -window " + sWindow + " " + sShot + " 2>/dev/null");
        struct stat st;
        EXPECT_EQ(::stat(sShot.c_str(), &st), 0) << sShot;
        PressKeys(sWindow, "Return");
        if (bWindow) {
            // Alone on its console, the program keeps the window open until Enter is pressed in
            // it from now on: the port number's line, which the console has read, is no answer.
            std::string sScreen;
            EXPECT_TRUE(program.WaitUntil([&] {
                sScreen = Screen("plx-ssc-test.exe");
                return sScreen.find(
                           "Unable to open communications port.\nPress Enter to close "
                           "this window.") != std::string::npos;
            })) << sScreen;
            EXPECT_TRUE(program.Running());
            EXPECT_NE(sScreen.find("This machine has no COM ports"), std::string::npos);
            EXPECT_EQ(sScreen.find(kServoPrompt), std::string::npos);
            PressKeys(sConsole, "Return");
            EXPECT_EQ(ExitCode(program.Wait()), 1);
            continue;
        }
        program.CloseInput();
        EXPECT_EQ(ExitCode(program.Wait()), 1);
        // From pipes nothing waits: the program's last line is the dialogue's.
        const std::string sEnd = "Unable to open communications port.\r\n";
        ASSERT_GE(program.Out().size(), sEnd.size());
        EXPECT_EQ(program.Out().substr(program.Out().size() - sEnd.size()), sEnd);
        EXPECT_EQ(program.Out().find(kServoPrompt), std::string::npos);
        // After the box, the COM ports the machine has, to help find the right one.
        ExpectInOrder(program.Err(),
                      {"COM ports on this machine (Device Manager, Ports (COM & LPT)):\r\n",
                       "  COM1\r\n  COM4\r\nCOM7 is not one of them"});
    }
    SerialComm({});
}

}  // namespace

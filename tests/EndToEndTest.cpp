// The built program, driven through a pseudo-terminal as a person would drive it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "serial/CommPort.h"
#include "tests/TestSupport.h"

#ifndef PLX_SSC_TEST_EXE
#error "PLX_SSC_TEST_EXE must name the built program"
#endif

namespace {

// How the program's standard input and output are connected.
enum class EStdin { Terminal, Pipe, Closed };

class CProgram {
public:
    CProgram(EStdin mode, const std::vector<std::string>& args = {}) {
        CFd outPipe[2], errPipe[2], inPipe[2];
        MakePipe(errPipe);
        if (mode != EStdin::Terminal) MakePipe(outPipe);
        if (mode == EStdin::Pipe) MakePipe(inPipe);
        std::vector<char*> argv{const_cast<char*>(PLX_SSC_TEST_EXE)};
        for (const std::string& sArg : args) argv.push_back(const_cast<char*>(sArg.c_str()));
        argv.push_back(nullptr);

        m_pid = ::fork();
        if (m_pid == 0) {
            if (mode == EStdin::Terminal) {
                // A session of its own with this terminal as its controlling terminal, so that
                // Ctrl+C typed there reaches it.
                ::setsid();
                const int fd = ::open(m_terminal.SlavePath().c_str(), O_RDWR);
                ::dup2(fd, STDIN_FILENO);
                ::dup2(fd, STDOUT_FILENO);
            } else {
                ::dup2(outPipe[1].Get(), STDOUT_FILENO);
                if (mode == EStdin::Pipe)
                    ::dup2(inPipe[0].Get(), STDIN_FILENO);
                else
                    ::close(STDIN_FILENO);
            }
            ::dup2(errPipe[1].Get(), STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        m_err = std::move(errPipe[0]);
        if (mode != EStdin::Terminal) m_out = std::move(outPipe[0]);
        if (mode == EStdin::Pipe) m_in = std::move(inPipe[1]);
    }

    ~CProgram() {
        if (m_pid > 0 && m_nStatus < 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // What the person types at the terminal, or what goes down the input pipe.
    void Type(const std::string& sKeys) {
        const int fd = m_in.Get() >= 0 ? m_in.Get() : m_terminal.Master();
        ASSERT_EQ(::write(fd, sKeys.data(), sKeys.size()), static_cast<ssize_t>(sKeys.size()));
    }
    void CloseInput() { m_in.Reset(); }

    // The screen (or standard output) up to and including sText; fails the test if it never comes.
    std::string WaitForOutput(const std::string& sText) {
        return WaitFor(m_out.Get() >= 0 ? m_out.Get() : m_terminal.Master(), &m_sOut, sText);
    }
    std::string WaitForError(const std::string& sText) {
        return WaitFor(m_err.Get(), &m_sErr, sText);
    }

    // Waits for the exit (bounded, so a hang fails instead of blocking the suite) and collects
    // the rest of both outputs.
    int Wait() {
        for (int i = 0; i < 1000 && m_nStatus < 0; ++i) {
            int nStatus = 0;
            if (::waitpid(m_pid, &nStatus, WNOHANG) == m_pid)
                m_nStatus = nStatus;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_GE(m_nStatus, 0) << "the program did not end";
        Drain(m_out.Get() >= 0 ? m_out.Get() : m_terminal.Master(), &m_sOut);
        Drain(m_err.Get(), &m_sErr);
        return m_nStatus;
    }
    bool Running() {
        int nStatus = 0;
        return ::waitpid(m_pid, &nStatus, WNOHANG) == 0;
    }

    const std::string& Out() const { return m_sOut; }
    const std::string& Err() const { return m_sErr; }

private:
    static void MakePipe(CFd* pEnds) {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        pEnds[0].Reset(fds[0]);
        pEnds[1].Reset(fds[1]);
    }

    static bool ReadSome(int fd, std::string* pText, int nTimeoutMs) {
        pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, nTimeoutMs) <= 0) return false;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) return false;  // EIO on a terminal nobody holds any more
        pText->append(buf, static_cast<std::size_t>(n));
        return true;
    }

    static std::string WaitFor(int fd, std::string* pText, const std::string& sText) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (pText->find(sText) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            // Nothing to read at all (the other end is gone): wait out the deadline calmly.
            if (!ReadSome(fd, pText, 100))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_NE(pText->find(sText), std::string::npos) << "never shown: " << sText;
        return *pText;
    }

    static void Drain(int fd, std::string* pText) {
        while (fd >= 0 && ReadSome(fd, pText, 200)) {
        }
    }

    CPseudoTerminal m_terminal;  // the person's terminal
    CFd m_in, m_out, m_err;
    pid_t m_pid = -1;
    int m_nStatus = -1;
    std::string m_sOut, m_sErr;
};

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
        EXPECT_EQ(m_port.Read(3), packet);
    }
    CPortMap m_map;  // the program inherits XDG_CONFIG_HOME
    CPseudoTerminal m_port;
};

TEST_F(EndToEndTest, APersonTypesPairsAndTheControllerGetsOnePacketEach) {
    CProgram program(EStdin::Terminal);
    StartSession(program, "2 150", Bytes({0xFF, 0x02, 0x96}));
    program.Type("3\n");
    EXPECT_EQ(m_port.ReadPending(100), std::vector<std::uint8_t>());  // half a pair: nothing
    program.Type("200\n");
    EXPECT_EQ(m_port.Read(3), Bytes({0xFF, 0x03, 0xC8}));
    program.Type("10 13\n");  // a line feed and a carriage return, as bytes
    EXPECT_EQ(m_port.Read(3), Bytes({0xFF, 0x0A, 0x0D}));
    program.WaitForOutput(kServoPrompt + "10 13\r\n" + kServoPrompt);
    program.Type("\x04");  // Ctrl+D: end of input
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    EXPECT_EQ(program.Err(), "");
    // The terminal echoes what was typed and turns each line end into CR LF.
    std::string sScreen = kBanner + kPortPrompt + "5\n\n" + kServoPrompt + "2 150\n" +
                          kServoPrompt + "3\n200\n" + kServoPrompt + "10 13\n" + kServoPrompt +
                          "\n";
    for (std::size_t i = 0; (i = sScreen.find('\n', i)) != std::string::npos; i += 2)
        sScreen.replace(i, 1, "\r\n");
    EXPECT_EQ(program.Out(), sScreen);
}

TEST_F(EndToEndTest, CtrlCEndsItAndThePortCanBeOpenedAgain) {
    {
        CProgram program(EStdin::Terminal);
        StartSession(program, "1 2", Bytes({0xFF, 0x01, 0x02}));
        program.Type("\x03");
        const int nStatus = program.Wait();
        ASSERT_TRUE(WIFSIGNALED(nStatus));
        EXPECT_EQ(WTERMSIG(nStatus), SIGINT);
    }
    CStderrCapture capture;
    CCommPort port(5, 9600);
    EXPECT_TRUE(port.Open()) << capture.Text();
}

TEST_F(EndToEndTest, APortThatWillNotOpenShowsTheBoxUntilEnter) {
    m_map.Map(7, m_map.ConfigHome() + "/unplugged");
    CProgram program(EStdin::Terminal);
    program.WaitForOutput(kPortPrompt);
    program.Type("7\n");
    const std::string sBox = program.WaitForError("[ OK ]");
    EXPECT_NE(sBox.find("Windows Communications Error"), std::string::npos);
    EXPECT_NE(sBox.find("communication port 7:"), std::string::npos);
    EXPECT_NE(sBox.find("No such file or directory"), std::string::npos);
    EXPECT_TRUE(program.Running());  // the box is waiting for the person
    program.Type("\n");
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 1);
    const std::string& sOut = program.Out();
    const std::string sEnd = "Unable to open communications port.\r\n";
    ASSERT_GE(sOut.size(), sEnd.size());
    EXPECT_EQ(sOut.substr(sOut.size() - sEnd.size()), sEnd);
    EXPECT_EQ(sOut.find(kServoPrompt), std::string::npos);
}

TEST_F(EndToEndTest, PipedInputGivesExactlyTheDialogueAndIgnoresArguments) {
    CProgram program(EStdin::Pipe, {"--help", "COM9"});
    program.Type("5\n1 2\n");
    program.CloseInput();
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    EXPECT_EQ(program.Out(), kBanner + kPortPrompt + "\n" + kServoPrompt + kServoPrompt + "\n");
    EXPECT_EQ(program.Err(), "");
    EXPECT_EQ(m_port.Read(3), Bytes({0xFF, 0x01, 0x02}));
}

TEST_F(EndToEndTest, WithoutATerminalTheBoxDoesNotWait) {
    CProgram program(EStdin::Pipe);
    program.Type("0\n");
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 1);
    EXPECT_EQ(program.Out(), kBanner + kPortPrompt + "\nUnable to open communications port.\n");
    EXPECT_NE(program.Err().find("communication port 0:"), std::string::npos) << program.Err();
}

TEST_F(EndToEndTest, StartUpFailsWithoutStandardInput) {
    CProgram program(EStdin::Closed);
    const int nStatus = program.Wait();
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 1);
    EXPECT_EQ(program.Out(), "");
    EXPECT_EQ(program.Err(), "Fatal Error: MFC initialization failed\n");
    termios tio;
    ASSERT_EQ(tcgetattr(m_port.Master(), &tio), 0);
    EXPECT_NE(tio.c_lflag & ICANON, 0u);  // the port was never touched
}

}  // namespace

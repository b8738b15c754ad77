// The dialogue in-process: its own streams for the person, a pseudo-terminal for the port.
#include <gtest/gtest.h>
#include <termios.h>

#include <functional>
#include <sstream>
#include <streambuf>
#include <vector>

#include "console/ServoDialogue.h"
#include "tests/TestSupport.h"

namespace {

const std::string& kBanner = kExpectedBanner;

// Input that arrives one line at a time, as a person types it; before handing over each line it
// lets the test look at what has happened so far.
class CTypedInput : public std::streambuf {
public:
    using Hook = std::function<void(std::size_t nLine)>;
    CTypedInput(std::vector<std::string> lines, Hook hook)
        : m_lines(std::move(lines)), m_hook(std::move(hook)) {}

protected:
    int_type underflow() override {
        if (m_nNext == m_lines.size()) return traits_type::eof();
        if (m_hook) m_hook(m_nNext);
        std::string& sLine = m_lines[m_nNext++];
        setg(sLine.data(), sLine.data(), sLine.data() + sLine.size());
        return traits_type::to_int_type(sLine[0]);
    }

private:
    std::vector<std::string> m_lines;
    Hook m_hook;
    std::size_t m_nNext = 0;
};

class DialogueTest : public ::testing::Test {
protected:
    DialogueTest() { m_map.Map(5, m_pty.SlavePath()); }

    int Run(const std::string& sInput) {
        std::istringstream in(sInput);
        return RunWith(in);
    }

    int RunWith(std::istream& in) {
        CStderrCapture capture;  // where a warning box would be drawn
        const int nStatus = RunServoDialogue(in, m_out, m_err);
        m_sBox = capture.Text();
        return nStatus;
    }

    CPortMap m_map;
    CPseudoTerminal m_pty;
    std::ostringstream m_out;
    std::ostringstream m_err;
    std::string m_sBox;
};

TEST_F(DialogueTest, SendsOnePacketPerPairAtNineSixHundredEightNOneWithThePromptEachTime) {
    termios tio;  // a line set up for something else: fast, two stop bits
    ASSERT_EQ(tcgetattr(m_pty.Slave(), &tio), 0);
    ASSERT_EQ(cfsetspeed(&tio, B115200), 0);
    tio.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(m_pty.Slave(), TCSANOW, &tio), 0);
    // The low byte of each number: nothing is refused, -1 becomes 0xFF and 256 becomes 0.
    EXPECT_EQ(Run("5\n0 100\n3 200\n1 255\n257 -1\n-256 256\n300 2147483647\n-2147483648 -129\n"),
              0);
    std::string sPrompts;
    for (int i = 0; i < 8; ++i) sPrompts += kServoPrompt;
    EXPECT_EQ(m_out.str(), kBanner + kPortPrompt + "\n" + sPrompts + "\n");
    EXPECT_EQ(m_err.str(), "");
    EXPECT_EQ(m_sBox, "");
    EXPECT_EQ(m_pty.Written(),
              Bytes({0xFF, 0x00, 0x64, 0xFF, 0x03, 0xC8, 0xFF, 0x01, 0xFF, 0xFF, 0x01,
                     0xFF, 0xFF, 0x00, 0x00, 0xFF, 0x2C, 0xFF, 0xFF, 0x00, 0x7F}));
    // The line as the controller's end reads it back.
    ASSERT_EQ(tcgetattr(m_pty.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
}

TEST_F(DialogueTest, APairMaySpanLinesOrShareOneWithThePort) {
    EXPECT_EQ(Run("  5 2\t150\n\n3\n\n200\n"), 0);
    EXPECT_EQ(m_pty.Written(), Bytes({0xFF, 0x02, 0x96, 0xFF, 0x03, 0xC8}));
}

TEST_F(DialogueTest, SendsOnlyOnceThePairIsComplete) {
    // Lines: "5", "3", "200". Before each line is read the prompt must be showing, and the
    // packet for 3 200 may only appear after the third.
    std::vector<std::vector<std::uint8_t>> arrived;
    std::vector<std::string> shown;
    CTypedInput typed({"5\n", "3\n", "200\n"}, [&](std::size_t) {
        shown.push_back(m_out.str());
        arrived.push_back(m_pty.Written());
    });
    std::istream in(&typed);
    EXPECT_EQ(RunWith(in), 0);
    arrived.push_back(m_pty.Written());
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], kBanner + kPortPrompt);
    EXPECT_EQ(shown[1], kBanner + kPortPrompt + "\n" + kServoPrompt);
    EXPECT_EQ(shown[2], shown[1]);  // waiting for the position: nothing more
    EXPECT_TRUE(arrived[1].empty());
    EXPECT_TRUE(arrived[2].empty());
    EXPECT_EQ(arrived[3], Bytes({0xFF, 0x03, 0xC8}));
}

TEST_F(DialogueTest, AsksForThePortAgainAfterSomethingElse) {
    // Half a byte order mark, and a whole one that is not at the very start, are not skipped.
    EXPECT_EQ(Run("\xEF\xBB"
                  "5\n\xEF\xBB\xBF"
                  "5\nCOM5\n99999999999\n5x\n  \n5\n1 2\n"),
              0);
    EXPECT_EQ(m_out.str(), kBanner + kPortPrompt + kNotAPort + kPortPrompt + kNotAPort +
                               kPortPrompt + kNotAPort + kPortPrompt + kNotAPort + kPortPrompt +
                               kNotAPort + kPortPrompt + "\n" + kServoPrompt + kServoPrompt + "\n");
    EXPECT_EQ(m_pty.Written(), Bytes({0xFF, 0x01, 0x02}));
}

TEST_F(DialogueTest, EndOfInputAtThePortPromptOpensNothing) {
    termios before;
    ASSERT_EQ(tcgetattr(m_pty.Master(), &before), 0);
    EXPECT_EQ(Run("   \n"), 1);
    EXPECT_EQ(m_out.str(), kBanner + kPortPrompt + "\n");
    termios after;
    ASSERT_EQ(tcgetattr(m_pty.Master(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);  // still cooked: never opened
}

TEST_F(DialogueTest, APairThatIsNotTwoNumbersSendsNothing) {
    EXPECT_EQ(Run("5\nx 1\n1 2x 3 4\n99999999999 1\n-2147483649 0\n2 150 7\n 8\n"), 0);
    EXPECT_EQ(m_out.str(), kBanner + kPortPrompt + "\n" + kServoPrompt + kNotAPair + kServoPrompt +
                               kNotAPair + kServoPrompt + kNotAPair + kServoPrompt + kNotAPair +
                               kServoPrompt + kServoPrompt + kServoPrompt + "\n");
    // The good pair, then 7 8 across the line break; the rest of each bad line went unread.
    EXPECT_EQ(m_pty.Written(), Bytes({0xFF, 0x02, 0x96, 0xFF, 0x07, 0x08}));
}

TEST_F(DialogueTest, LinesEndInCrLfOrALoneCrAfterAByteOrderMark) {
    // Notepad's "UTF-8 with BOM"; old Mac editors and some serial terminals end lines in CR.
    EXPECT_EQ(Run("\xEF\xBB\xBF"
                  "5\r2 150\rx 1\r3 4\r\ny 2\r\n5 6\r"),
              0);
    EXPECT_EQ(m_out.str(), kBanner + kPortPrompt + "\n" + kServoPrompt + kServoPrompt + kNotAPair +
                               kServoPrompt + kServoPrompt + kNotAPair + kServoPrompt +
                               kServoPrompt + "\n");
    EXPECT_EQ(m_pty.Written(), Bytes({0xFF, 0x02, 0x96, 0xFF, 0x03, 0x04, 0xFF, 0x05, 0x06}));
}

TEST_F(DialogueTest, TheLargestNumbersAreNotRefused) {
    EXPECT_EQ(Run("5\n2147483647 -2147483648\n+3 -0\n"), 0);
    EXPECT_EQ(m_pty.Written(), Bytes({0xFF, 0xFF, 0x00, 0xFF, 0x03, 0x00}));
}

TEST_F(DialogueTest, InputEndingHalfwayThroughAPairSendsNothingAndSaysSo) {
    EXPECT_EQ(Run("5\n1 2\n-7 "), 1);  // the last command never reached the controller
    EXPECT_EQ(m_out.str(),
              kBanner + kPortPrompt + "\n" + kServoPrompt + kServoPrompt +
                  "The input ended before the position for servo -7: nothing was sent for it.\n");
    EXPECT_EQ(m_err.str(), "");
    EXPECT_EQ(m_pty.Written(), Bytes({0xFF, 0x01, 0x02}));
}

}  // namespace

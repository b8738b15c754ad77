// The simulated controller's reading of the byte stream, and its view of the line settings and of
// the byte a board detects its baud rate from.
#include <gtest/gtest.h>
#include <termios.h>

#include <tuple>

#include "sim/controller/Controller.h"
#include "sim/controller/ServoBoard.h"
#include "sim/controller/SscDecoder.h"
#include "sim/line/LineSpeed.h"
#include "sim/line/LineWatch.h"
#include "sim/report/SimReport.h"
#include "tests/TestSupport.h"

namespace {

class CNoSink : public CSimSink {
    void OnEvent(const CSimEvent& /*event*/) override {}
    void OnSample(const CMotionSample& /*sample*/) override {}
};

// Events as short text, so that whole sequences compare at once.
// Each event also goes to pBoard, when given, as understood, and the board runs past them.
std::vector<std::string> Decode(CSscDecoder& decoder, const std::vector<std::uint8_t>& bytes,
                                std::size_t nPiece = 0, CServoBoard* pBoard = nullptr) {
    std::vector<CSscEvent> events;
    if (nPiece == 0) nPiece = bytes.size();
    for (std::size_t i = 0; i < bytes.size(); i += nPiece)
        decoder.Feed(bytes.data() + i, std::min(nPiece, bytes.size() - i), SimTime(0), &events);
    if (pBoard != nullptr) {
        CNoSink sink;
        for (const CSscEvent& e : events) pBoard->Take(e, std::string());
        pBoard->AdvanceTo(std::chrono::seconds(1), &sink);
    }
    std::vector<std::string> texts;
    for (const CSscEvent& e : events) {
        switch (e.kind) {
            case CSscEvent::EKind::Move:
                texts.push_back("move " + std::to_string(e.nServo) + " " +
                                std::to_string(e.nPosition) + " " + PlxShortNumber(e.dPulseUs));
                break;
            case CSscEvent::EKind::Ignored:
                texts.push_back("ignored " + std::to_string(e.nServo) + " " +
                                std::to_string(e.nPosition));
                break;
            case CSscEvent::EKind::Detected:
                texts.push_back("detected");
                break;
            case CSscEvent::EKind::Dropped: {
                std::string s = e.drop == CSscEvent::EDrop::NewPacket ? "cut" : "stray";
                for (std::uint8_t b : e.bytes) s += " " + std::to_string(b);
                texts.push_back(s);
                break;
            }
        }
    }
    return texts;
}

using Texts = std::vector<std::string>;

TEST(SscDecoder, ReadsPacketsAndRemembersPositions) {
    const CSimRig rig;
    CSscDecoder decoder(rig.Board());
    CServoBoard board(rig);
    EXPECT_EQ(Decode(decoder, Bytes({0xFF, 2, 150, 0xFF, 7, 0, 0xFF, 2, 254}), 0, &board),
              (Texts{"move 2 150 1591", "move 7 0 1000", "move 2 254 2000"}));
    EXPECT_EQ(board.Commanded(2), 254);
    EXPECT_EQ(board.Commanded(7), 0);
    EXPECT_EQ(board.Commanded(0), -1);
}

TEST(SscDecoder, ASyncByteWhereDataIsDueStartsANewPacket) {
    const CSimRig rig;
    CSscDecoder decoder(rig.Board());
    // "1 255" from the program: the position 255 is taken for a sync byte.
    EXPECT_EQ(Decode(decoder, Bytes({0xFF, 1, 0xFF, 0xFF, 3, 200})),
              (Texts{"cut 255 1", "cut 255", "move 3 200 1787"}));
    // Bytes before any sync are lost one by one.
    EXPECT_EQ(Decode(decoder, Bytes({0x0D, 0x0A, 0xFF, 4, 127})),
              (Texts{"stray 13", "stray 10", "move 4 127 1500"}));
}

TEST(SscDecoder, EachBoardOnTheLineTakesTheServosItAnswers) {
    const std::vector<std::uint8_t> stream =
        Bytes({0xFF, 10, 13, 0xFF, 7, 1, 0xFF, 15, 254, 0xFF, 16, 1, 0xFF, 200, 1, 0xFF, 8, 10});
    struct CCase {
        // --id 0, 8, and 0,8: every servo from 0 to 15 is somebody's; a Maestro at offset 8.
        std::vector<std::string> args;
        Texts expected;
        int nCommanded7;
        int nCommanded10;
    };
    const CCase cases[] = {{{"--id", "0"},
                            {"ignored 10 13", "move 7 1 1004", "ignored 15 254", "ignored 16 1",
                             "ignored 200 1", "ignored 8 10"},
                            1,
                            -1},
                           {{"--id", "8"},
                            {"move 10 13 1051", "ignored 7 1", "move 15 254 2000", "ignored 16 1",
                             "ignored 200 1", "move 8 10 1039"},
                            -1,
                            13},
                           {{"--id", "0,8"},
                            {"move 10 13 1051", "move 7 1 1004", "move 15 254 2000", "ignored 16 1",
                             "ignored 200 1", "move 8 10 1039"},
                            1,
                            13},
                           {{"--board", "maestro", "--offset", "8"},
                            {"move 10 13 1072.5", "ignored 7 1", "ignored 15 254", "ignored 16 1",
                             "ignored 200 1", "move 8 10 1061.25"},
                            -1,
                            13}};
    for (const CCase& c : cases) {
        const CSimRig rig = RigOf(c.args);
        CSscDecoder decoder(rig.Board());
        CServoBoard board(rig);
        const auto Commanded = [&](int nServo) {
            const int nOutput = rig.Board().OutputOf(nServo);
            return nOutput < 0 ? -1 : board.Commanded(nOutput);
        };
        EXPECT_EQ(Decode(decoder, stream, 0, &board), c.expected) << rig.Board().Words();
        EXPECT_EQ(Commanded(7), c.nCommanded7) << rig.Board().Words();
        EXPECT_EQ(Commanded(10), c.nCommanded10) << rig.Board().Words();
    }
    EXPECT_EQ(RigOf({"--id", "8,0"}).Board().Words(),
              "two MINI-SSC II at 9600 baud, servos 0-7 and 8-15, 90 degrees");
}

TEST(SscDecoder, PulseWidthsAtBothRangesAndOnAMaestro) {
    const CSimRig narrow;
    const CSimRig wide = RigOf({"--range", "180"});
    // The Maestro's factory neutral and range, 1500 us and 476.25 us, to the quarter microsecond.
    const CSimRig maestro = RigOf({"--board", "maestro"});
    for (const auto& [nPosition, dNarrow, dWide, dMaestro] :
         {std::tuple{127, 1500.0, 1500.0, 1500.0},
          {0, 1000.0, 500.0, 1023.75},
          {254, 2000.0, 2500.0, 1976.25},
          {150, 1591.0, 1681.0, 1586.25}}) {
        EXPECT_EQ(narrow.Board().PulseUs(nPosition), dNarrow) << nPosition;
        EXPECT_EQ(wide.Board().PulseUs(nPosition), dWide) << nPosition;
        EXPECT_EQ(maestro.Board().PulseUs(nPosition), dMaestro) << nPosition;
    }
}

TEST(SscDecoder, PiecesOfAnySizeReadAlike) {
    const std::vector<std::uint8_t> stream =
        Bytes({0x41, 0xFF, 2, 150, 0xFF, 1, 0xFF, 0xFF, 9, 9, 0xFF, 0, 0, 0xFF, 5});
    const CSimRig rig = RigOf({"--range", "180"});
    CSscDecoder whole(rig.Board());
    const Texts expected = Decode(whole, stream);
    EXPECT_EQ(expected.size(), 6u);
    for (std::size_t nPiece = 1; nPiece <= 4; ++nPiece) {
        CSscDecoder pieces(rig.Board());
        EXPECT_EQ(Decode(pieces, stream, nPiece), expected) << nPiece;
    }
}

termios Raw(speed_t speed) {
    termios tio{};
    cfmakeraw(&tio);
    cfsetospeed(&tio, speed);
    cfsetispeed(&tio, speed);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 2;
    return tio;
}

TEST(LineWatch, DescribesTheLineAndWhatAControllerMakesOfIt) {
    const CLineSettings raw = PlxReadLineSettings(Raw(B9600));
    EXPECT_EQ(PlxDescribeLine(raw), "9600 8N1 raw VMIN=0 VTIME=2");
    EXPECT_EQ(PlxWhyNotUnderstood(raw, 9600), "");
    EXPECT_EQ(PlxWhyNotUnderstood(raw, 2400), "line at 9600 baud, controller at 2400");

    termios cooked = Raw(B4800);
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON;
    const CLineSettings line = PlxReadLineSettings(cooked);
    EXPECT_EQ(PlxDescribeLine(line), "4800 8N1 cooked (opost onlcr icanon) VMIN=0 VTIME=2");
    EXPECT_EQ(PlxWhyNotUnderstood(line, 9600),
              "line at 4800 baud, controller at 9600; output processing alters bytes");
    EXPECT_NE(line, raw);

    // A rate set by number, as termios2 sets one no B constant names, is read as that number
    // where termios reads none.
    CPseudoTerminal pty;
    for (const std::uint32_t nBaud : {14400u, 250000u, 9600u}) {
        ASSERT_TRUE(SetLineSpeedByNumber(pty.Slave(), nBaud));
        EXPECT_EQ(PlxLineSpeedByNumber(pty.Master()), nBaud);
    }
    termios standard = Raw(B9600);
    ASSERT_EQ(tcsetattr(pty.Slave(), TCSANOW, &standard), 0);
    EXPECT_EQ(PlxLineSpeedByNumber(pty.Master()), 0u);

    // Output processing that changes no byte is no reason to doubt the line.
    termios opost = Raw(B9600);
    opost.c_oflag |= OPOST;
    EXPECT_EQ(PlxWhyNotUnderstood(PlxReadLineSettings(opost), 9600), "");

    // A Maestro that detects its baud rate takes nothing until the byte 0xAA, says once with the
    // first packet what to do about it, and then holds the line to the rate 0xAA came at. A
    // packet it had begun then ("2 170", whose 170 is 0xAA) is dropped, not understood.
    const CSimRig rig = RigOf({"--board", "maestro", "--autobaud"});
    CServoBoard board(rig);
    CController controller(rig, board);
    const auto Take = [&](const std::vector<std::uint8_t>& bytes) {
        CWireByte byte;
        for (std::uint8_t nByte : bytes) {
            byte.nByte = nByte;
            controller.Take(byte, raw, SimTime(0));
        }
    };
    Take(Bytes({0xFF, 0, 100, 0xFF, 1, 100}));
    EXPECT_EQ(controller.WhyNot(raw), "no byte 0xAA yet to detect the baud rate from");
    Take(Bytes({0xFF, 2, 0xAA, 0xFF, 2, 150}));
    EXPECT_EQ(controller.WhyNot(raw), "");
    EXPECT_EQ(controller.WhyNot(PlxReadLineSettings(Raw(B19200))),
              "line at 19200 baud, controller at 9600");
    std::ostringstream words;
    CSimReport report(words, false, rig);
    board.AdvanceTo(std::chrono::seconds(1), &report);
    ExpectInOrder(
        words.str(),
        {"move     servo 0 (channel 0) to 100 (1398.75 us)  [not understood: the Maestro's serial "
         "mode is \"UART, detect baud rate\": it takes "
         "nothing until the byte 0xAA; set it to \"USB Dual Port\" or \"UART, fixed baud rate\"]\n",
         "move     servo 1 (channel 1) to 100 (1398.75 us)  [not understood: no byte 0xAA yet to "
         "detect the baud rate from]\n",
         "dropped  FF 02 (cut short: the board began to listen afresh)  [not understood: no byte "
         "0xAA yet to detect the baud rate from]\n",
         "detected AA: the board takes the line at 9600 baud\n",
         "move     servo 2 (channel 2) to 150 (1586.25 us), turns from 127.0"});
    EXPECT_EQ(board.NotUnderstood(), 3);
    EXPECT_EQ(board.Commanded(0), -1);
    EXPECT_EQ(board.Commanded(2), 150);
}

}  // namespace

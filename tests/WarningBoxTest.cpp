#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "serial/CommPort.h"
#include "serial/PortFinder.h"
#include "serial/UserApi.h"
#include "serial/WarningBox.h"

namespace {

std::vector<std::string> Lines(const std::string& sText) {
    std::vector<std::string> lines;
    std::istringstream in(sText);
    for (std::string sLine; std::getline(in, sLine);) lines.push_back(sLine);
    return lines;
}

// The words inside the frame, in order, whatever the wrapping.
std::string Words(const std::string& sText) {
    std::istringstream in(sText);
    std::string sWords;
    for (std::string sWord; in >> sWord;) sWords += sWord + " ";
    return sWords;
}

TEST(WarningBox, FramesTheReportUnderItsCaption) {
    const std::string sReport = PlxFormatOpenFailure(7, "No such file or directory");
    const std::string sBox = PlxRenderWarningBox(sReport, "Windows Communications Error");
    ASSERT_EQ(sBox.back(), '\n');
    const std::vector<std::string> lines = Lines(sBox);
    ASSERT_GE(lines.size(), 8u);
    for (const std::string& sLine : lines) {
        EXPECT_EQ(sLine.size(), 79u) << sLine;
        EXPECT_EQ(sLine.find('\t'), std::string::npos) << sLine;
        for (char c : sLine) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << sLine;
    }
    EXPECT_EQ(lines.front().rfind("+-- Windows Communications Error -", 0), 0u);
    EXPECT_EQ(lines.back(), "+" + std::string(77, '-') + "+");
    EXPECT_NE(sBox.find("/!\\"), std::string::npos);
    EXPECT_NE(lines[lines.size() - 2].find("[ OK ]"), std::string::npos);

    // Inside the frame: the report, word for word, with the system's text on a tab stop.
    std::string sInside;
    for (std::size_t i = 1; i + 2 < lines.size(); ++i) sInside += lines[i].substr(1, 77) + "\n";
    EXPECT_EQ(Words(sInside), "/!\\ " + Words(sReport));
    EXPECT_NE(sBox.find("        No such file or directory"), std::string::npos);
}

TEST(WarningBox, WrapsOnlyAtSpacesAndCutsWordsTooLongForALine) {
    const std::string sWord(150, 'w');
    const std::string sBox = PlxRenderWarningBox("short\n" + sWord + " tail", "C");
    std::string sJoined;
    for (const std::string& sLine : Lines(sBox)) {
        EXPECT_EQ(sLine.size(), 79u);
        sJoined += sLine;
    }
    std::string sLetters;
    for (char c : sJoined)
        if (c == 'w') sLetters += c;
    EXPECT_EQ(sLetters.size(), 150u);
    EXPECT_NE(sJoined.find("tail"), std::string::npos);
}

#ifdef _WIN32
TEST(WindowsReport, ListsTheComPortsAndSpeaksTheConsolesCodePage) {
    const std::vector<CSerialPortInfo> ports = {{"COM1", "Communications Port (COM1)", {}, ""},
                                                {"COM4", "", {}, ""}};
    EXPECT_EQ(PlxPortHelp(7, ERROR_FILE_NOT_FOUND, ports),
              "COM ports on this machine (Device Manager, Ports (COM & LPT)):\n"
              "  COM1  Communications Port (COM1)\n  COM4\nCOM7 is not one of them: give one of "
              "these numbers.\n");
    // Another program is asked about only when the system said the port is in use.
    auto Verdict = [&](int nError) {
        const std::string sHelp = PlxPortHelp(4, nError, ports);
        return sHelp.substr(sHelp.find("COM4 is one of them"));
    };
    for (int nError : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_BUSY})
        EXPECT_EQ(Verdict(nError), "COM4 is one of them: is another program using it?\n");
    EXPECT_EQ(Verdict(ERROR_INVALID_HANDLE),
              "COM4 is one of them, but what opened under that name is not a serial port.\n");
    EXPECT_EQ(Verdict(ERROR_NOT_SUPPORTED),
              "COM4 is one of them, but it did not take 9600 baud, 8 data bits, no parity, 1 stop "
              "bit.\n");
    EXPECT_EQ(Verdict(ERROR_GEN_FAILURE),
              "COM4 is one of them: the reason above is why it could not be used.\n");
    EXPECT_EQ(PlxPortHelp(1, ERROR_ACCESS_DENIED, {}).rfind("This machine has no COM ports", 0),
              0u);
    // A French Windows' "Pas pret." with its e circumflex, from the ANSI code page to the
    // console's: 0xEA in 1252 is 0x88 in 850, where 0xEA would show a different letter.
    EXPECT_EQ(PlxConvertCodePage("Pas pr\xEAt.", 1252, 850), "Pas pr\x88t.");
    EXPECT_EQ(PlxConvertCodePage("Pas pr\xEAt.", 1252, 1252), "Pas pr\xEAt.");
}
#endif

}  // namespace

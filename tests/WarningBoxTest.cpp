#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "serial/CommPort.h"
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

}  // namespace

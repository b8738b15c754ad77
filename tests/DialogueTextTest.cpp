// The dialogue's own text, on every platform: what it says before any port is opened.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "console/ServoDialogue.h"
#include "tests/Expected.h"

namespace {

int RunDialogue(const std::string& sInput, std::string* pOut, std::string* pErr) {
    std::istringstream in(sInput);
    std::ostringstream out, err;
    const int nStatus = RunServoDialogue(in, out, err);
    *pOut = out.str();
    *pErr = err.str();
    return nStatus;
}

TEST(DialogueText, BannerIsSixLinesOfWhichFourAreSeventyNineWide) {
    std::string sOut, sErr;
    EXPECT_EQ(RunDialogue("", &sOut, &sErr), 1);
    EXPECT_EQ(sOut, kExpectedBanner + kPortPrompt + "\n");
    std::istringstream lines(kExpectedBanner);
    std::vector<std::string> banner;
    for (std::string sLine; std::getline(lines, sLine);) banner.push_back(sLine);
    ASSERT_EQ(banner.size(), 6u);
    for (std::size_t i : {0, 1, 3, 4}) EXPECT_EQ(banner[i].size(), 79u) << i;
}

TEST(DialogueText, AsksForThePortUntilItIsANumberOrTheInputEnds) {
    std::string sOut, sErr;
    EXPECT_EQ(RunDialogue("COM5\n99999999999\n5x\n  \n", &sOut, &sErr), 1);
    EXPECT_EQ(sOut, kExpectedBanner + kPortPrompt + kNotAPort + kPortPrompt + kNotAPort +
                        kPortPrompt + kNotAPort + kPortPrompt + "\n");
    EXPECT_EQ(sErr, "");
}

}  // namespace

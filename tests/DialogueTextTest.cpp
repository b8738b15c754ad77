// The dialogue's own text, on every platform: what it says before any port is opened.
#include <gtest/gtest.h>

#include <sstream>

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

TEST(DialogueText, TheBannerThenThePortPromptUntilTheInputEnds) {
    std::string sOut, sErr;
    EXPECT_EQ(RunDialogue("", &sOut, &sErr), 1);
    EXPECT_EQ(sOut, kExpectedBanner + kPortPrompt + "\n");
    // Also after something that is no port number, and after blank lines.
    EXPECT_EQ(RunDialogue("5x\n  \n", &sOut, &sErr), 1);
    EXPECT_EQ(sOut, kExpectedBanner + kPortPrompt + kNotAPort + kPortPrompt + "\n");
    EXPECT_EQ(sErr, "");
}

}  // namespace

#include "serial/WarningBox.h"

#include <vector>

namespace {

constexpr std::size_t kBoxWidth = 79;  // whole frame, borders included
constexpr char kMark[] = "/!\\   ";    // the warning mark and the gap after it
constexpr std::size_t kMarkWidth = sizeof(kMark) - 1;
// Inside the borders: two spaces, the mark column, the text, one space.
constexpr std::size_t kTextWidth = kBoxWidth - 2 - 2 - kMarkWidth - 1;

std::string ExpandTabs(const std::string& sLine) {
    std::string sOut;
    for (char c : sLine) {
        if (c == '\t') {
            sOut.append(8 - sOut.size() % 8, ' ');
        } else if (c != '\r') {  // a CR LF line end is one line end
            sOut += c;
        }
    }
    return sOut;
}

// Splits one long line at spaces; a word longer than the width is cut.
void WrapLine(const std::string& sLine, std::vector<std::string>* pLines) {
    std::string sRest = sLine;
    while (sRest.size() > kTextWidth) {
        std::size_t nCut = sRest.rfind(' ', kTextWidth);
        if (nCut == std::string::npos || nCut == 0 ||
            sRest.find_first_not_of(' ') >= nCut) {  // no break short of leading indentation
            nCut = kTextWidth;
        }
        pLines->push_back(sRest.substr(0, nCut));
        const std::size_t nNext = sRest.find_first_not_of(' ', nCut);
        sRest = nNext == std::string::npos ? std::string() : sRest.substr(nNext);
    }
    pLines->push_back(sRest);
}

std::string Row(const std::string& sMark, const std::string& sText) {
    std::string sRow = "|  " + sMark + sText;
    sRow.append(kBoxWidth - 1 - sRow.size(), ' ');
    return sRow + "|\n";
}

}  // namespace

std::string PlxRenderWarningBox(const std::string& sText, const std::string& sCaption) {
    std::vector<std::string> lines;
    std::size_t nStart = 0;
    for (;;) {
        const std::size_t nEnd = sText.find('\n', nStart);
        WrapLine(ExpandTabs(sText.substr(nStart, nEnd - nStart)), &lines);
        if (nEnd == std::string::npos) break;
        nStart = nEnd + 1;
    }

    std::string sTitle = "+-- " + sCaption.substr(0, kBoxWidth - 6) + " ";
    sTitle.append(kBoxWidth - 1 - sTitle.size(), '-');
    std::string sBox = sTitle + "+\n";
    const std::string sBlankMark(kMarkWidth, ' ');
    sBox += Row(sBlankMark, "");
    for (std::size_t i = 0; i < lines.size(); ++i)
        sBox += Row(i == 0 ? kMark : sBlankMark, lines[i]);
    sBox += Row(sBlankMark, "");
    const std::string sButton = "[ OK ]";
    std::string sButtonRow = "|" + std::string((kBoxWidth - 2 - sButton.size()) / 2, ' ') + sButton;
    sButtonRow.append(kBoxWidth - 1 - sButtonRow.size(), ' ');
    sBox += sButtonRow + "|\n";
    sBox += "+" + std::string(kBoxWidth - 2, '-') + "+\n";
    return sBox;
}

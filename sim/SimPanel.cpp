#include "sim/SimPanel.h"

#include <algorithm>
#include <cmath>

#include "sim/SimReport.h"

const char* const PLX_PANEL_ENTER = "\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J";
const char* const PLX_PANEL_LEAVE = "\x1b[0m\x1b[?25h\x1b[?1049l";

namespace {

constexpr int kPositionMax = 254;
constexpr int kNeutral = 127;
constexpr int kMinGauge = 5;

std::string Fit(std::string s, int nWidth) {
    if (static_cast<int>(s.size()) > nWidth)
        s.resize(static_cast<std::size_t>(std::max(nWidth, 0)));
    return s;
}

std::string RightAligned(const std::string& s, std::size_t nWidth) {
    return s.size() >= nWidth ? s : std::string(nWidth - s.size(), ' ') + s;
}

// The figures of a row: the controller's (commanded position and pulse) then the shaft's.
constexpr std::size_t kPosition = 5;
constexpr std::size_t kPulse = 9;   // "  1591 us"
constexpr std::size_t kShaft = 10;  // "   +8 deg"
constexpr std::size_t kFigures = 32;

// The cells of the gauge on a row of nWidth columns: what the servo's number ("%2d ") and the
// figures leave, with its two brackets; it shrinks before they do.
int GaugeCells(int nWidth) {
    return std::max(kMinGauge, nWidth - 3 - static_cast<int>(kFigures) - 2);
}

// Where a position falls on a gauge of nCells cells.
int Cell(int nPosition, int nCells) {
    return (nPosition * (nCells - 1) + kPositionMax / 2) / kPositionMax;
}

std::string ServoRow(const CServoBoard& board, int i, SimTime tNow, int nWidth) {
    const int nCommanded = board.Commanded(i);
    const double dShaft = board.ShaftAt(i, tNow);
    std::string sFigures;
    if (nCommanded < 0) {
        sFigures = "  never commanded, 0 deg assumed";
    } else {
        const long nAngle = std::lround(PlxServoAngle(dShaft, board.Range()));
        sFigures = RightAligned(std::to_string(nCommanded), kPosition) +
                   RightAligned(
                       std::to_string(CSscDecoder::PulseWidthUs(nCommanded, board.Range())) + " us",
                       kPulse) +
                   RightAligned((nAngle > 0 ? "+" : "") + std::to_string(nAngle) + " deg", kShaft) +
                   (board.MovingAt(i, tNow) ? " moving" : "");
    }
    sFigures.resize(std::max(sFigures.size(), kFigures), ' ');
    const std::string sNumber = RightAligned(std::to_string(board.FirstServo() + i), 2) + " ";
    const int nCells = GaugeCells(nWidth);
    std::string sGauge(static_cast<std::size_t>(nCells), '-');
    sGauge[static_cast<std::size_t>(Cell(kNeutral, nCells))] = '|';
    if (nCommanded >= 0) {
        sGauge[static_cast<std::size_t>(Cell(nCommanded, nCells))] = 'o';
        sGauge[static_cast<std::size_t>(Cell(static_cast<int>(std::lround(dShaft)), nCells))] = '#';
    }
    std::string sRow = sNumber + "[" + sGauge + "]" + sFigures;
    while (!sRow.empty() && sRow.back() == ' ') sRow.pop_back();
    return Fit(sRow, nWidth);
}

// What the marks on the gauges mean, and over the figures, whose they are.
std::string Legend(int nWidth) {
    const std::string sMarks = "   # shaft  o commanded  | neutral";
    const std::size_t nFiguresAt = static_cast<std::size_t>(GaugeCells(nWidth)) + 5;
    std::string sLegend = sMarks;
    sLegend.resize(std::max(nFiguresAt, sMarks.size() + 1), ' ');
    sLegend += RightAligned("cmd", kPosition) + RightAligned("pulse", kPulse - 3) + "   " +
               RightAligned("shaft", kShaft - 4);
    return Fit(sLegend, nWidth);
}

}  // namespace

std::vector<CPanelLine> PlxRenderPanel(const CServoBoard& board, const CPanelHeader& header,
                                       SimTime tNow, int nWidth, int nHeight, bool bHighlightLast) {
    // The last column stays free: a character there leaves some terminals about to wrap.
    nWidth = std::max(1, nWidth - 1);
    std::vector<CPanelLine> lines;
    const std::string sSpan = std::to_string(board.FirstServo()) + "-" +
                              std::to_string(board.FirstServo() + CSscDecoder::SERVOS - 1);
    lines.push_back(
        {Fit("MINI-SSC II " + header.sWhere + "  jumpers: " + std::to_string(header.nBaud) +
                 " baud, servos " + sSpan + ", " + std::to_string(board.Range()) + " deg" +
                 (header.bPaced ? "" : "  instant"),
             nWidth)});
    std::string sLine = "line: ";
    sLine += header.bLineKnown ? PlxDescribeLine(header.line) : std::string("?");
    if (!header.sWhyNot.empty())
        sLine = "!! " + sLine + "  (not understood: " + header.sWhyNot + ")";
    lines.push_back({Fit(sLine, nWidth), !header.sWhyNot.empty()});
    lines.push_back({Legend(nWidth)});
    for (int i = 0; i < CSscDecoder::SERVOS; ++i) {
        const bool bMark = board.MovingAt(i, tNow) || (bHighlightLast && i == board.LastMoved());
        lines.push_back({ServoRow(board, i, tNow, nWidth), bMark});
    }
    const auto& recent = board.Recent();
    const int nRoom = nHeight - static_cast<int>(lines.size());
    const int nSkip = std::max(0, static_cast<int>(recent.size()) - std::max(nRoom, 0));
    for (auto it = recent.begin() + nSkip; it != recent.end(); ++it)
        lines.push_back({Fit(PlxEventLine(it->event, board.FirstServo(), it->sWhyNot), nWidth)});
    if (static_cast<int>(lines.size()) > nHeight)
        lines.resize(static_cast<std::size_t>(std::max(nHeight, 0)));
    return lines;
}

std::string PlxPanelFrame(const std::vector<CPanelLine>& lines) {
    std::string sFrame = "\x1b[H";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) sFrame += "\r\n";
        if (lines[i].bHighlight) sFrame += "\x1b[7m";
        sFrame += lines[i].sText;
        sFrame += "\x1b[0m\x1b[K";
    }
    return sFrame + "\x1b[J";
}

#include "sim/report/LiveView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "sim/SimSignals.h"
#include "sim/report/SimReport.h"

const char* const PLX_PANEL_ENTER = "\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J";
const char* const PLX_PANEL_LEAVE = "\x1b[0m\x1b[?25h\x1b[?1049l";

namespace {

using namespace std::chrono_literals;

constexpr SimTime kDrawInterval = 40ms;  // 25 pictures a second while a servo moves
constexpr SimTime kHighlight = 400ms;    // how long the row of a command stands out
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

// The figures of a row: the controller's (commanded position and pulse) then the shaft's, and
// " moving".
constexpr std::size_t kPosition = 5;
constexpr std::size_t kShaft = 10;  // "   +8 deg"
constexpr std::size_t kModel = 8;   // "standard": after the figures where the rig names models

// "  1591 us": as wide as the board's widest pulse.
std::size_t PulseColumns(const CSimRig& rig) { return rig.Board().PulseChars() + 5; }
std::size_t FigureColumns(const CSimRig& rig) { return kPosition + PulseColumns(rig) + kShaft + 8; }

// The columns the model takes on each row.
std::size_t ModelColumns(const CSimRig& rig) { return rig.bModelsNamed ? kModel + 1 : 0; }

// The cells of the gauge on a row of nWidth columns: what the output's number ("%2d "), the
// figures and the model leave, with its two brackets; it shrinks before they do.
int GaugeCells(const CSimRig& rig, int nWidth) {
    return std::max(kMinGauge,
                    nWidth - 3 - static_cast<int>(FigureColumns(rig) + ModelColumns(rig)) - 2);
}

// Where a position falls on a gauge of nCells cells.
int Cell(int nPosition, int nCells) {
    return (nPosition * (nCells - 1) + kPositionMax / 2) / kPositionMax;
}

std::string ServoRow(const CServoBoard& board, int nOutput, SimTime tNow, int nWidth) {
    const CSimRig& rig = board.Rig();
    const int nCommanded = board.Commanded(nOutput);
    const double dShaft = board.ShaftAt(nOutput, tNow);
    std::string sFigures;
    const long nAngle = std::lround(rig.Board().AngleAt(dShaft));
    const std::string sAngle = (nAngle > 0 ? "+" : "") + std::to_string(nAngle) + " deg";
    if (nCommanded < 0 && board.ShaftKnown(nOutput)) {
        sFigures = "  no pulse: restarted, " + sAngle;
    } else if (nCommanded < 0) {
        sFigures = "  " + std::string(rig.Board().Uncommanded()) + ", 0 deg assumed";
    } else {
        sFigures = RightAligned(std::to_string(nCommanded), kPosition) +
                   RightAligned(rig.Board().PulseText(nCommanded) + " us", PulseColumns(rig)) +
                   RightAligned(sAngle, kShaft) + (board.MovingAt(nOutput, tNow) ? " moving" : "");
    }
    sFigures.resize(std::max(sFigures.size(), FigureColumns(rig)), ' ');
    if (rig.bModelsNamed) sFigures += std::string(" ") + rig.Model(nOutput).pszName;
    const std::string sNumber =
        RightAligned(std::to_string(rig.Board().OutputNumber(nOutput)), 2) + " ";
    const int nCells = GaugeCells(rig, nWidth);
    std::string sGauge(static_cast<std::size_t>(nCells), '-');
    sGauge[static_cast<std::size_t>(Cell(kNeutral, nCells))] = '|';
    if (nCommanded >= 0) sGauge[static_cast<std::size_t>(Cell(nCommanded, nCells))] = 'o';
    if (board.ShaftKnown(nOutput))
        sGauge[static_cast<std::size_t>(Cell(static_cast<int>(std::lround(dShaft)), nCells))] = '#';
    std::string sRow = sNumber + "[" + sGauge + "]" + sFigures;
    while (!sRow.empty() && sRow.back() == ' ') sRow.pop_back();
    return Fit(sRow, nWidth);
}

// What the marks on the gauges mean, and over the figures, whose they are.
std::string Legend(const CSimRig& rig, int nWidth) {
    const std::string sMarks = "   # shaft  o commanded  | neutral";
    const std::size_t nFiguresAt = static_cast<std::size_t>(GaugeCells(rig, nWidth)) + 5;
    std::string sLegend = sMarks;
    sLegend.resize(std::max(nFiguresAt, sMarks.size() + 1), ' ');
    sLegend += RightAligned("cmd", kPosition) + RightAligned("pulse", PulseColumns(rig) - 3) +
               "   " + RightAligned("shaft", kShaft - 4);
    if (rig.bModelsNamed) {
        sLegend.resize(std::max(sLegend.size() + 1, nFiguresAt + FigureColumns(rig) + 1), ' ');
        sLegend += "model";
    }
    return Fit(sLegend, nWidth);
}

}  // namespace

std::vector<CPanelLine> PlxRenderPanel(const CServoBoard& board, const std::string& sWhere,
                                       const CLineState& line, SimTime tNow, int nWidth,
                                       int nHeight, bool bHighlightLast) {
    const CSimRig& rig = board.Rig();
    // The last column stays free: a character there leaves some terminals about to wrap.
    nWidth = std::max(1, nWidth - 1);
    std::vector<CPanelLine> lines;
    lines.push_back(
        {Fit(rig.Board().Heading() + " " + sWhere + "  " + rig.Board().Settings() +
                 (rig.bModelsNamed ? ", " + rig.Supply() : "") + (rig.bInstant ? "  instant" : ""),
             nWidth)});
    std::string sLine = "line: ";
    sLine += line.bKnown ? PlxDescribeLine(line.settings) : std::string("?");
    // The line's backlog, and how long the last packet waited in one.
    for (const std::string& sWait : {PlxWaitWords("queued", board.Queued(), board.QueuedFloor()),
                                     PlxWaitWords("behind", board.Behind(), board.BehindFloor())})
        if (!sWait.empty()) sLine += "  " + sWait;
    if (!line.sWhyNot.empty()) sLine = "!! " + sLine + "  (not understood: " + line.sWhyNot + ")";
    lines.push_back({Fit(sLine, nWidth), !line.sWhyNot.empty()});
    lines.push_back({Legend(rig, nWidth)});
    // A terminal too short for every servo shows those that fit, and says which it hides.
    const int nOutputs = rig.Board().Outputs();
    const int nRows = nHeight - static_cast<int>(lines.size());
    const int nShown = nOutputs <= nRows ? nOutputs : std::max(nRows - 1, 0);
    for (int n = 0; n < nShown; ++n) {
        const bool bMark = board.MovingAt(n, tNow) || (bHighlightLast && n == board.LastMoved());
        lines.push_back({ServoRow(board, n, tNow, nWidth), bMark});
    }
    if (nShown < nOutputs) {
        std::vector<int> hidden;
        for (int n = nShown; n < nOutputs; ++n) hidden.push_back(rig.Board().OutputNumber(n));
        const char* pszKind = rig.Board().OutputKind();
        lines.push_back(
            {Fit(std::to_string(hidden.size()) + " " + (pszKind != nullptr ? pszKind : "servo") +
                     "s hidden (" + PlxServoList(hidden) + "): the terminal is too short",
                 nWidth)});
    }
    const auto& recent = board.Recent();
    const int nRoom = nHeight - static_cast<int>(lines.size());
    const int nSkip = std::max(0, static_cast<int>(recent.size()) - std::max(nRoom, 0));
    for (auto it = recent.begin() + nSkip; it != recent.end(); ++it)
        lines.push_back({Fit(PlxEventLine(it->event, rig, it->sWhyNot), nWidth)});
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

bool PlxPanelFits() {
    const char* pszTerm = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) != 0 && pszTerm != nullptr && *pszTerm != '\0' &&
           std::strcmp(pszTerm, "dumb") != 0 && !PlxInBackground(STDOUT_FILENO);
}

void CLiveView::Look() {
    if (m_bShown && PlxInBackground(STDOUT_FILENO)) m_bShown = false;
    if (m_bShown || PlxInBackground(STDOUT_FILENO)) return;
    m_out << PLX_PANEL_ENTER;
    m_bShown = true;
    m_bDirty = true;
    m_tDrawn = -kDrawInterval;
}

bool CLiveView::Leave() {
    if (!m_bShown) return false;
    m_out << PLX_PANEL_LEAVE;
    m_bShown = false;
    return true;
}

bool CLiveView::Moving(SimTime tNow) const {
    for (int n = 0; n < m_board.Rig().Board().Outputs(); ++n)
        if (m_board.MovingAt(n, tNow)) return true;
    return false;
}

SimTime CLiveView::NextDue(SimTime tNow) const {
    // While the terminal has not taken the last picture, room for it is what wakes the loop.
    if (!m_bShown || m_screen.Pending() > 0) return kNever;
    SimTime tDue = kNever;
    if (m_bDirty || m_bDrawnMoving || Moving(tNow)) tDue = m_tDrawn + kDrawInterval;
    if (m_bDrawnHighlight)
        tDue = std::min(tDue, std::max(m_tCommanded + kHighlight, m_tDrawn + kDrawInterval));
    return tDue;
}

void CLiveView::Draw(SimTime tNow) {
    if (!m_bShown || m_screen.Pending() > 0) return;
    if (m_board.MoveCount() != m_nCommandsSeen) {
        m_nCommandsSeen = m_board.MoveCount();
        m_tCommanded = tNow;
    }
    const bool bHighlight = m_nCommandsSeen != 0 && tNow - m_tCommanded < kHighlight;
    const bool bMoving = Moving(tNow);
    if (!m_bDirty && !bMoving && !m_bDrawnMoving && bHighlight == m_bDrawnHighlight) return;
    if (tNow - m_tDrawn < kDrawInterval) return;
    winsize size = {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        size.ws_col = 80;
        size.ws_row = 24;
    }
    m_out << PlxPanelFrame(
        PlxRenderPanel(m_board, m_sWhere, m_line, tNow, size.ws_col, size.ws_row, bHighlight));
    m_tDrawn = tNow;
    m_bDirty = false;
    m_bDrawnMoving = bMoving;
    m_bDrawnHighlight = bHighlight;
}

// The live view of the controllers for a terminal: a header with the jumpers and the line (and
// its backlog, and how long the last packet waited), one row per servo with a gauge of where its
// shaft is and where it was commanded, and its model where the rig names models, and the last
// notes. Drawn in place with plain VT100 escape sequences, the alternate screen while it runs, and
// the terminal as it was after.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sim/SimTime.h"
#include "sim/controller/ServoBoard.h"
#include "sim/line/LineWatch.h"
#include "sim/report/ReportOut.h"

struct CPanelLine {
    std::string sText;  // never wider than the panel
    bool bHighlight = false;
};

// The panel's lines at tNow for a terminal of nWidth columns and nHeight rows, for the line
// sWhere ("COM1 /dev/pts/3"). Rows of servos still moving are marked, and the row of the servo
// commanded last when bHighlightLast.
std::vector<CPanelLine> PlxRenderPanel(const CServoBoard& board, const std::string& sWhere,
                                       const CLineState& line, SimTime tNow, int nWidth,
                                       int nHeight, bool bHighlightLast);

// The bytes that put the lines on the screen from its top-left corner, each line cleared to
// its end, and the rest of the screen cleared.
std::string PlxPanelFrame(const std::vector<CPanelLine>& lines);

// Entering and leaving the panel: the alternate screen with the cursor hidden, and back.
extern const char* const PLX_PANEL_ENTER;
extern const char* const PLX_PANEL_LEAVE;

// Whether standard output is a terminal that takes the live view: one that knows escape
// sequences, and that the simulator does not share as a background job.
bool PlxPanelFits();

// The live view as the simulator's report: when it is on the screen and when it is drawn. It is
// redrawn when something changed and all the while a servo moves, at most 25 times a second,
// and only once the terminal has taken the last picture; the row commanded last stands out for
// a moment. It hears the board's events, each of which may change what it shows.
class CLiveView : public CSimSink {
public:
    // board and line are read at every picture; screen is where out's bytes wait.
    CLiveView(std::ostream& out, const CReportOut& screen, const CServoBoard& board,
              const CLineState& line, std::string sWhere)
        : m_out(out), m_screen(screen), m_board(board), m_line(line), m_sWhere(std::move(sWhere)) {}

    void OnEvent(const CSimEvent& /*event*/) override { m_bDirty = true; }
    void OnSample(const CMotionSample& /*sample*/) override {}
    // Something it shows changed apart from the board's events: the line, or the window.
    void Changed() { m_bDirty = true; }
    // Puts the view on the screen while the simulator is in its terminal's foreground; takes it
    // off, without a word, once it is not (Ctrl+Z, then bg).
    void Look();
    // Gives the terminal back as it was before the view (Ctrl+Z, the end); whether the view was
    // on the screen.
    bool Leave();
    // When the view next wants the loop to wake, kNever when it waits for nothing.
    SimTime NextDue(SimTime tNow) const;
    // Draws the picture at tNow, when one is due.
    void Draw(SimTime tNow);

private:
    bool Moving(SimTime tNow) const;

    std::ostream& m_out;
    const CReportOut& m_screen;
    const CServoBoard& m_board;
    const CLineState& m_line;
    std::string m_sWhere;
    bool m_bShown = false;  // on the screen now
    bool m_bDirty = true;   // something to draw that is not drawn
    bool m_bDrawnMoving = false;
    bool m_bDrawnHighlight = false;
    SimTime m_tDrawn{};
    SimTime m_tCommanded{};  // when the last command was seen
    std::uint64_t m_nCommandsSeen = 0;
};

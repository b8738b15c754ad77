// The live view of the controller for a terminal: a header with the jumpers and the line, one
// row per servo with a gauge of where its shaft is and where it was commanded, and the last
// notes. Drawn in place with plain VT100 escape sequences, the alternate screen while it runs,
// and the terminal as it was after.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/LineWatch.h"
#include "sim/ServoBoard.h"
#include "sim/SimTime.h"

struct CPanelLine {
    std::string sText;  // never wider than the panel
    bool bHighlight = false;
};

struct CPanelHeader {
    std::string sWhere;  // "COM1 /dev/pts/3"
    std::uint32_t nBaud = 9600;
    CLineSettings line;
    bool bLineKnown = false;
    std::string sWhyNot;  // why the controller would not follow the line; empty when it would
    bool bPaced = true;
};

// The panel's lines at tNow for a terminal of nWidth columns and nHeight rows. Rows of servos
// still moving are marked, and the row of the servo commanded last when bHighlightLast.
std::vector<CPanelLine> PlxRenderPanel(const CServoBoard& board, const CPanelHeader& header,
                                       SimTime tNow, int nWidth, int nHeight, bool bHighlightLast);

// The bytes that put the lines on the screen from its top-left corner, each line cleared to
// its end, and the rest of the screen cleared.
std::string PlxPanelFrame(const std::vector<CPanelLine>& lines);

// Entering and leaving the panel: the alternate screen with the cursor hidden, and back.
extern const char* const PLX_PANEL_ENTER;
extern const char* const PLX_PANEL_LEAVE;

// A warning box drawn in text, for consoles that have no windows: a frame with the caption as its
// title, a warning mark, the message line by line and an OK button. ASCII only.
#pragma once

#include <string>

// The box, each line ended by '\n'. Tabs are expanded to stops of 8; lines longer than the box
// is wide are wrapped at spaces, so the box fits a terminal of 80 columns.
std::string PlxRenderWarningBox(const std::string& sText, const std::string& sCaption);

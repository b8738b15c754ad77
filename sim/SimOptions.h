// plx-ssc-sim's command line: the rig it plays (the controllers' jumpers, the servos, how it
// keeps time), and where its report goes.
#pragma once

#include <cstdint>
#include <string>

#include "sim/controller/SimRig.h"

struct CSimOptions {
    std::int32_t nPort = 1;
    bool bMap = true;
    CSimRig rig;
    bool bJson = false;
    bool bLog = false;   // one line per event even at a terminal
    std::string sTrace;  // CSV of the servos' motion, when given
    std::string sPlot;   // SVG chart at the end, when given
};

enum class EParseResult { Run, Done, Usage };

// Reads the command line. Done: --help, --version or --servo help, whose text is in *pMessage.
// Usage: the complaint is in *pMessage.
EParseResult PlxParseSimOptions(int argc, const char* const* argv, CSimOptions* pOptions,
                                std::string* pMessage);

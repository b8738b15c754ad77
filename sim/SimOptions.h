// plx-ssc-sim's command line: the jumpers of the controller it plays, how it keeps time, and
// where its report goes.
#pragma once

#include <cstdint>
#include <string>

struct CSimOptions {
    std::int32_t nPort = 1;
    bool bMap = true;
    std::uint32_t nBaud = 9600;  // baud jumper: 2400 or 9600
    int nRange = 90;             // range jumper: 90 or 180 degrees
    int nFirstServo = 0;         // identification jumper: servos 0-7 or 8-15
    bool bJson = false;
    bool bLog = false;            // one line per event even at a terminal
    bool bInstant = false;        // bytes taken as they come, servos jump
    double dSecondsPer60 = 0.19;  // servo speed
    std::string sTrace;           // CSV of the servos' motion, when given
    std::string sPlot;            // SVG chart at the end, when given
};

enum class EParseResult { Run, Done, Usage };

// Reads the command line. Done: --help or --version, whose text is in *pMessage. Usage: the
// complaint is in *pMessage.
EParseResult PlxParseSimOptions(int argc, const char* const* argv, CSimOptions* pOptions,
                                std::string* pMessage);

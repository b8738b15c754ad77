// What the program at the other end has done to the line, read through the pseudo-terminal's
// master (on Linux it reports the slave's settings), and whether a controller could follow it.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

struct CLineSettings {
    std::uint32_t nBaud = 0;  // 0: a speed without a number (B0 or unknown)
    int nDataBits = 8;
    char cParity = 'N';
    int nStopBits = 1;
    bool bRaw = false;           // no processing, no echo, no line editing or signals
    bool bAltersOutput = false;  // output processing that changes bytes (NL to CR NL and the like)
    int nVmin = 0;
    int nVtime = 0;
    std::string sProcessing;  // what keeps it from raw, e.g. "onlcr icanon echo"

    bool operator==(const CLineSettings& other) const;
    bool operator!=(const CLineSettings& other) const { return !(*this == other); }
};

// The line as the simulator last read it, and what a controller makes of it.
struct CLineState {
    CLineSettings settings;
    bool bKnown = false;  // read at least once
    std::string sWhyNot;  // why the controller would not follow the line; empty when it would
};

CLineSettings PlxReadLineSettings(const termios& tio);

// "9600 8N1 raw VMIN=0 VTIME=2", or "38400 8N1 cooked (opost onlcr icanon echo) VMIN=1 VTIME=0".
std::string PlxDescribeLine(const CLineSettings& line);

// Why a controller with this baud jumper would not understand what comes over the line; empty
// when it would.
std::string PlxWhyNotUnderstood(const CLineSettings& line, std::uint32_t nJumperBaud);

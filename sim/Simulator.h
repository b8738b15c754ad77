// plx-ssc-sim: a MINI-SSC II on a pseudo-terminal, registered in the port map as COMn, that
// reports what a real controller would do with every byte it receives.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

struct CSimOptions {
    std::int32_t nPort = 1;
    bool bMap = true;
    std::uint32_t nBaud = 9600;  // baud jumper: 2400 or 9600
    int nRange = 90;             // range jumper: 90 or 180 degrees
    int nFirstServo = 0;         // identification jumper: servos 0-7 or 8-15
    bool bJson = false;
    bool bLog = false;  // one line per event even at a terminal
};

enum class EParseResult { Run, Done, Usage };

// Reads the command line. Done: --help or --version, whose text is in *pMessage. Usage: the
// complaint is in *pMessage.
EParseResult PlxParseSimOptions(int argc, const char* const* argv, CSimOptions* pOptions,
                                std::string* pMessage);

// Runs until SIGINT, SIGTERM, SIGHUP or SIGQUIT, or the end of its standard input where that
// says anything (a pipe, or a terminal it is in the foreground of); the report goes to standard
// output (a live view at a terminal), complaints to standard error. 0 after a normal end; 1 when
// it could not start or its output went away. Standard input, output and error must be open.
int PlxRunSimulator(const CSimOptions& options);

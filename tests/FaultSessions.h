// The sessions ./test --faults runs with calls failed, and what each program's EXIT STATUS section
// makes of what they came to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/FaultSweep.h"

// Where plx-ssc-test's COM1 leads.
enum class EServoPort {
    Sending,  // a pseudo-terminal: the port opens, and the packets go out
    Refused,  // a map entry to a file, which is no port
    Missing,  // a map entry to nothing (an adapter unplugged)
    Busy,     // a pseudo-terminal that another descriptor holds with flock
};

// What a run of plx-ssc-test came to.
struct CServoOutcome {
    bool bEnded = false;  // false: it was still running at the bound, and was killed
    int nStatus = 0;      // the wait status
    std::string sOut, sErr;
    std::vector<std::uint8_t> wire;  // what reached the port's far end
    bool bMarked = false;            // the port still marked exclusive (TIOCEXCL) after it
    bool bLineKept = true;           // the holder's line settings as the holder left them
    std::string sFellTo;             // a device the fence kept it from, which it tried to open
};

// What a run of plx-ssc-sim came to.
struct CSimOutcome {
    bool bEnded = false;
    bool bRegistered = false;  // its entry stood in the port map
    bool bSignalled = false;   // the sweep sent it SIGTERM
    int nStatus = 0;
    std::string sOut, sErr;
    std::string sTrace, sSvg;
    std::vector<std::string> left;  // what it left in the port map
};

// The breaches in an outcome. pClean: the clean run's, which an interrupted read or write must
// come to as well (null for the clean run itself).
std::vector<std::string> JudgeServoTest(EServoPort port, const CServoOutcome& outcome,
                                        const CInjection& injection, const CServoOutcome* pClean,
                                        bool* pLibraryAbort);
std::vector<std::string> JudgeSimulator(const CSimOutcome& outcome, const CInjection& injection,
                                        bool* pLibraryAbort);

// The packets the plx-ssc-test session types, and the bytes each must be on the wire.
extern const char* const kServoInput;
extern const std::vector<std::vector<std::uint8_t>> kServoPackets;

std::unique_ptr<CFaultSession> MakeServoTestSession(EServoPort port);
std::unique_ptr<CFaultSession> MakeSimulatorSession();

// How closely the simulated controllers keep the hardware's time: N pairs written to a paced
// plx-ssc-sim with two controllers on the line, timed by the simulator's own clock and by when
// its report arrives.
#pragma once

#include <string>

struct CTwinResult {
    std::string sWhy;           // why it could not be measured; empty when it was
    long nPackets = 0;          // moves the simulator reported
    double dIdealS = 0;         // the wire's time from the first packet's end to the last's
    double dSimSpanS = 0;       // the same by the simulator's clock (its events' "t")
    double dWallSpanS = 0;      // the same as the harness saw the events arrive
    double dBusy = 0;           // share of the time the wire was kept busy
    double dCpuShare = 0;       // the simulator's CPU per second of wire time
    double dMostBehindS = 0;    // the longest a move waited on the line, by the report
    bool bBehindFloor = false;  // and whether any wait was only a floor
};

// nPairs pairs to a paced simulator at nBaud 8N1: through plx-ssc-test (which sets 9600) when
// sTestExe is given, else by a writer of the harness's own that sets the line to nBaud.
CTwinResult PlxRunTwin(const std::string& sSimExe, const std::string& sTestExe, unsigned nBaud,
                       long nPairs);

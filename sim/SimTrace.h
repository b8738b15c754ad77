// --trace FILE: the servos' motion as CSV, for spreadsheets and plotting tools. One row for each
// servo still moving at every frame, and one when a move begins and when it ends:
//   t,servo,commanded,pulse_us,angle_deg
// t in seconds on the wire's clock; angle_deg the shaft's angle from neutral, to a tenth.
#pragma once

#include <cstdio>
#include <string>

#include "sim/ServoBoard.h"

class CSimTrace : public CSimSink {
public:
    explicit CSimTrace(int nRange) : m_nRange(nRange) {}
    ~CSimTrace() override;
    CSimTrace(const CSimTrace&) = delete;
    CSimTrace& operator=(const CSimTrace&) = delete;

    // Creates the file, replacing one of that name, and writes the header; false, with the
    // reason in *pError, when it cannot.
    bool Open(const std::string& sPath, std::string* pError);
    void OnEvent(const CSimEvent& /*event*/) override {}
    void OnSample(const CMotionSample& sample) override;
    // Hands the rows written so far to the file, so that a reader sees them as they come.
    void Flush();
    // Writes out the rest and closes the file; false, with the reason in *pError, when anything
    // could not be written.
    bool Close(std::string* pError);

private:
    void Fail();

    int m_nRange;
    std::FILE* m_pFile = nullptr;
    std::string m_sPath;
    int m_nError = 0;  // the first write error
    bool m_bUnflushed = false;
};

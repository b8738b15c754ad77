// --trace FILE: the servos' motion as CSV, for spreadsheets and plotting tools. One row for each
// servo still moving at every frame, and one when a move begins and when it ends:
//   t,servo,commanded,pulse_us,angle_deg
// t in seconds on the wire's clock; angle_deg the shaft's angle from neutral, to a tenth. A board
// that numbers its outputs apart from the servos (the Maestro's channels) has them after servo.
#pragma once

#include <string>

#include "sim/controller/ServoBoard.h"
#include "sim/report/FileOut.h"

class CSimTrace : public CSimSink {
public:
    // rig: its board gives the pulses and the angles.
    CSimTrace(const std::string& sPath, const CSimRig& rig) : m_file(sPath), m_rig(rig) {}

    // Creates the file, replacing one of that name, with its header; false, with the reason in
    // *pError, when its writer cannot be started. That the file cannot be opened shows later, in
    // OpenFailed.
    bool Open(std::string* pError);
    void OnEvent(const CSimEvent& /*event*/) override {}
    void OnSample(const CMotionSample& sample) override;
    bool OpenFailed() const { return m_file.OpenFailed(); }
    // Writes out the rest and closes the file, waiting until tDeadline at most; false, with the
    // reason in *pError, when anything could not be written. A trace cut short ends at a whole
    // row.
    bool Close(std::chrono::steady_clock::time_point tDeadline, std::string* pError) {
        return m_file.Finish(tDeadline, pError);
    }

private:
    CFileOut m_file;
    const CSimRig& m_rig;
};

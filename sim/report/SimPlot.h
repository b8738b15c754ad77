// --plot FILE: an SVG chart of the session, written when the simulator ends. For each servo that
// was commanded, its shaft's angle over time as a solid line and its commanded angle as a dashed
// step line, in the same colour, against seconds and degrees, with a legend (a line a servo when
// more than eight were commanded). Plain SVG 1.1, for any browser.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "sim/controller/ServoBoard.h"
#include "sim/report/FileOut.h"

class CSimPlot : public CSimSink {
public:
    // At most this many points are kept; the chart says where it stops when there were more.
    static constexpr std::size_t MAX_POINTS = 200000;

    // rig: its board gives the angles.
    CSimPlot(const std::string& sPath, const CSimRig& rig) : m_file(sPath), m_rig(rig) {}

    void OnEvent(const CSimEvent& event) override;
    void OnSample(const CMotionSample& sample) override;
    // The chart from 0 to tEnd, with sTitle above it; the shafts as the board has them at tEnd.
    std::string Svg(SimTime tEnd, const CServoBoard& board, const std::string& sTitle) const;
    // Creates the file, replacing one of that name, and starts writing the chart to it; false,
    // with the reason in *pError, when its writer cannot be started.
    bool Write(SimTime tEnd, const CServoBoard& board, const std::string& sTitle,
               std::string* pError);
    // Waits until tDeadline at most for the chart to be written; false, with the reason in
    // *pError, when it could not be written in full. True when it was never started.
    bool Close(std::chrono::steady_clock::time_point tDeadline, std::string* pError) {
        return m_file.Finish(tDeadline, pError);
    }

private:
    using CPoints = std::vector<std::pair<double, double>>;  // seconds, degrees
    struct CSeries {
        CPoints shaft;      // where its motion changes: a move's start and its end
        CPoints commanded;  // each command, as it arrived
    };
    bool Keep(double dSeconds);

    CFileOut m_file;
    const CSimRig& m_rig;
    std::array<CSeries, CBoardModel::MAX_OUTPUTS> m_series{};  // by output
    std::size_t m_nPoints = 0;
    double m_dCutAt = -1;  // where recording stopped; negative while it goes on
};

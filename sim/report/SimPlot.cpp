#include "sim/report/SimPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// The chart's frame in pixels: the plot area, and the legend to its right.
constexpr double kWidth = 960;
constexpr double kHeight = 480;
constexpr double kLeft = 70;
constexpr double kRight = 740;
constexpr double kTop = 50;
constexpr double kBottom = 420;

// By output: a second controller's servos, and a large board's later channels, in colours of their
// own.
const char* const kColours[CBoardModel::MAX_OUTPUTS] = {
    "#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf",
    "#7f7f7f", "#bcbd22", "#393b79", "#637939", "#8c6d31", "#843c39", "#7b4173", "#000000",
    "#aec7e8", "#ff9896", "#98df8a", "#ffbb78", "#c5b0d5", "#c49c94", "#f7b6d2", "#9edae5"};
// A legend of more servos than this gives each one line.
constexpr std::size_t kRoomyLegend = 8;
// The title's type, and about as many characters of it as fit across the chart.
constexpr double kTitleSize = 15;
constexpr std::size_t kTitleChars = 110;

std::string Number(double d) {
    char sz[32];
    (void)std::snprintf(sz, sizeof(sz), "%.2f", d);
    return sz;
}

std::string Xml(const std::string& s) {
    std::string sOut;
    for (char c : s) {
        switch (c) {
            case '&':
                sOut += "&amp;";
                break;
            case '<':
                sOut += "&lt;";
                break;
            case '>':
                sOut += "&gt;";
                break;
            case '"':
                sOut += "&quot;";
                break;
            default:
                sOut += c;
        }
    }
    return sOut;
}

// Where seconds and degrees fall in the plot area.
struct CScale {
    double dSeconds;  // the right end of the time axis
    double dHalfRange;

    double X(double t) const { return kLeft + t / dSeconds * (kRight - kLeft); }
    double Y(double deg) const {
        return kBottom - (deg + dHalfRange) / (2 * dHalfRange) * (kBottom - kTop);
    }
};

// A round step for about eight ticks over dSpan.
double TickStep(double dSpan) {
    const double dRaw = dSpan / 8;
    const double dMagnitude = std::pow(10.0, std::floor(std::log10(dRaw)));
    for (double dFactor : {1.0, 2.0, 5.0})
        if (dFactor * dMagnitude >= dRaw) return dFactor * dMagnitude;
    return 10 * dMagnitude;
}

std::string Text(double x, double y, const std::string& s, const char* pszAnchor,
                 const std::string& sExtra = "") {
    return "<text x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" text-anchor=\"" + pszAnchor +
           "\"" + sExtra + ">" + Xml(s) + "</text>\n";
}

std::string Line(double x1, double y1, double x2, double y2, const std::string& sStyle) {
    return "<line x1=\"" + Number(x1) + "\" y1=\"" + Number(y1) + "\" x2=\"" + Number(x2) +
           "\" y2=\"" + Number(y2) + "\" " + sStyle + "/>\n";
}

std::string Axes(const CScale& scale, double dStep) {
    std::string s;
    const char* const kGrid = "stroke=\"#dddddd\" stroke-width=\"1\"";
    const long nTicks = std::lround(scale.dSeconds / dStep);
    for (long n = 0; n <= nTicks; ++n) {
        const double t = static_cast<double>(n) * dStep;
        s += Line(scale.X(t), kTop, scale.X(t), kBottom, kGrid);
        char sz[32];
        (void)std::snprintf(sz, sizeof(sz), "%g", t);
        s += Text(scale.X(t), kBottom + 18, sz, "middle");
    }
    // Six steps from one end of the range to the other: 15 or 30 degrees.
    for (int n = -3; n <= 3; ++n) {
        const double deg = scale.dHalfRange * n / 3;
        s += Line(kLeft, scale.Y(deg), kRight, scale.Y(deg),
                  n == 0 ? "stroke=\"#999999\" stroke-width=\"1\"" : kGrid);
        s += Text(kLeft - 8, scale.Y(deg) + 4, std::to_string(std::lround(deg)), "end");
    }
    s += "<rect x=\"" + Number(kLeft) + "\" y=\"" + Number(kTop) + "\" width=\"" +
         Number(kRight - kLeft) + "\" height=\"" + Number(kBottom - kTop) +
         "\" fill=\"none\" stroke=\"#333333\"/>\n";
    s += Text((kLeft + kRight) / 2, kBottom + 42, "seconds", "middle");
    s += Text(22, (kTop + kBottom) / 2, "degrees", "middle",
              " transform=\"rotate(-90 22 " + Number((kTop + kBottom) / 2) + ")\"");
    return s;
}

std::string Polyline(const CScale& scale, const std::vector<std::pair<double, double>>& points,
                     const char* pszColour, bool bDashed) {
    std::string s = "<polyline fill=\"none\" stroke=\"" + std::string(pszColour) +
                    "\" stroke-width=\"2\"" + (bDashed ? " stroke-dasharray=\"6 4\"" : "") +
                    " points=\"";
    for (const auto& point : points)
        s += Number(scale.X(point.first)) + "," + Number(scale.Y(point.second)) + " ";
    return s + "\"/>\n";
}

}  // namespace

bool CSimPlot::Keep(double dSeconds) {
    if (m_dCutAt >= 0) return false;
    if (++m_nPoints <= MAX_POINTS) return true;
    m_dCutAt = dSeconds;
    return false;
}

void CSimPlot::OnEvent(const CSimEvent& event) {
    if (!event.IsMove()) return;
    const double t = PlxSeconds(event.event.t);
    if (Keep(t))
        m_series[static_cast<std::size_t>(event.event.nOutput)].commanded.emplace_back(
            t, m_rig.Board().AngleAt(event.event.nPosition));
}

void CSimPlot::OnSample(const CMotionSample& sample) {
    if (sample.kind == CMotionSample::EKind::Frame) return;  // the line between is straight
    const double t = PlxSeconds(sample.t);
    if (Keep(t))
        m_series[static_cast<std::size_t>(sample.nOutput)].shaft.emplace_back(
            t, m_rig.Board().AngleAt(sample.dPosition));
}

std::string CSimPlot::Svg(SimTime tEnd, const CServoBoard& board, const std::string& sTitle) const {
    const double dEnd = m_dCutAt >= 0 ? m_dCutAt : std::max(PlxSeconds(tEnd), 0.001);
    const double dStep = TickStep(dEnd);
    // The angle axis reaches past the board's widest angle to a whole step of 15 degrees.
    const double dWidest = std::max(std::abs(m_rig.Board().AngleAt(0)),
                                    std::abs(m_rig.Board().AngleAt(CBoardModel::POSITIONS - 1)));
    const CScale scale{std::ceil(dEnd / dStep - 1e-9) * dStep, std::ceil(dWidest / 15 - 1e-9) * 15};
    std::string s =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" +
        Number(kWidth) + "\" height=\"" + Number(kHeight) + "\" viewBox=\"0 0 " + Number(kWidth) +
        " " + Number(kHeight) +
        "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    std::string sHeading = sTitle;
    if (m_dCutAt >= 0) sHeading += " (recorded up to " + Number(m_dCutAt) + " s)";
    // A long title (a rig of many models) is set smaller, to fit across the chart.
    const auto dChars = static_cast<double>(std::max<std::size_t>(sHeading.size(), 1));
    const double dTitleSize = kTitleSize * std::min(1.0, static_cast<double>(kTitleChars) / dChars);
    s += Text(kWidth / 2, 28, sHeading, "middle", " font-size=\"" + Number(dTitleSize) + "\"");
    s += Axes(scale, dStep);
    double dLegendY = kTop + 10;
    const std::size_t nShown = static_cast<std::size_t>(std::count_if(
        m_series.begin(), m_series.end(), [](const CSeries& c) { return !c.commanded.empty(); }));
    for (std::size_t i = 0; i < m_series.size(); ++i) {
        const CSeries& series = m_series[i];
        if (series.commanded.empty()) continue;
        CPoints shaft = series.shaft;
        const double dShaftEnd = m_rig.Board().AngleAt(board.ShaftAt(static_cast<int>(i), tEnd));
        if (!shaft.empty())
            shaft.emplace_back(dEnd, m_dCutAt >= 0 ? shaft.back().second : dShaftEnd);
        CPoints steps;
        for (const auto& point : series.commanded) {
            if (!steps.empty()) steps.emplace_back(point.first, steps.back().second);
            steps.push_back(point);
        }
        steps.emplace_back(dEnd, steps.back().second);
        s += Polyline(scale, steps, kColours[i], true);
        s += Polyline(scale, shaft, kColours[i], false);
        const std::string sServo = m_rig.Board().OutputShort(static_cast<int>(i));
        const std::string sSolid = "stroke=\"" + std::string(kColours[i]) + "\" stroke-width=\"2\"";
        if (nShown > kRoomyLegend) {
            s += Line(kRight + 14, dLegendY, kRight + 34, dLegendY, sSolid);
            s += Line(kRight + 38, dLegendY, kRight + 58, dLegendY,
                      sSolid + " stroke-dasharray=\"6 4\"");
            s += Text(kRight + 64, dLegendY + 4, sServo, "start");
            dLegendY += 22;
            continue;
        }
        s += Line(kRight + 20, dLegendY, kRight + 50, dLegendY, sSolid);
        s += Text(kRight + 58, dLegendY + 4, sServo + " shaft", "start");
        s += Line(kRight + 20, dLegendY + 18, kRight + 50, dLegendY + 18,
                  sSolid + " stroke-dasharray=\"6 4\"");
        s += Text(kRight + 58, dLegendY + 22, sServo + " commanded", "start");
        dLegendY += 44;
    }
    if (nShown > kRoomyLegend)
        s += Text(kRight + 14, dLegendY + 4, "solid: shaft, dashed: commanded", "start",
                  " font-size=\"11\"");
    if (nShown == 0)
        s += Text((kLeft + kRight) / 2, (kTop + kBottom) / 2, "no servo was commanded", "middle");
    return s + "</svg>\n";
}

bool CSimPlot::Write(SimTime tEnd, const CServoBoard& board, const std::string& sTitle,
                     std::string* pError) {
    if (!m_file.Start(pError)) return false;
    m_file.Add(Svg(tEnd, board, sTitle));
    return true;
}

// The MINI-SSC II, or two of them sharing a line: jumpers for the baud rate (2400 or 9600), the
// range (90 or 180 degrees) and the identification (servos 0-7 or 8-15), the first two alike on
// both boards. Its pulse is 1500 us at position 127 and 500 us (90 degrees) or 1000 us (180)
// either side at 0 and 254, to the microsecond.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/controller/BoardModel.h"

class CMiniSsc2 : public CBoardModel {
public:
    static constexpr int BOARD_OUTPUTS = 8;

    // firstServos: the identification jumpers, ascending: 0 (servos 0-7) and/or 8 (8-15).
    CMiniSsc2(std::uint32_t nBaud, int nRange, std::vector<int> firstServos)
        : m_nBaud(nBaud), m_nRange(nRange), m_firstServos(std::move(firstServos)) {}

    // The board of --baud, --range and --id; nullptr, with the complaint, when they do not fit.
    static std::shared_ptr<const CBoardModel> Make(const CBoardOptions& options,
                                                   std::string* pMessage);

    const char* Name() const override { return "minissc2"; }
    int Outputs() const override;
    int ServoOf(int nOutput) const override;
    double PulseUs(int nPosition) const override;
    double PulseAt(double dPosition) const override;
    std::uint32_t Baud() const override { return m_nBaud; }
    std::string Words() const override;
    std::string JsonFields() const override;
    std::string Heading() const override;
    std::string Settings() const override;
    std::string TitleHead() const override;
    std::string TitleBaud() const override;
    std::string Answering() const override;
    std::string NotAnswered() const override;

private:
    // "0-7", "8-15", "0-7 and 8-15": the identification jumpers.
    std::string Jumpers() const;

    std::uint32_t m_nBaud;
    int m_nRange;
    std::vector<int> m_firstServos;
};

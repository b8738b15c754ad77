// A Pololu Maestro (the Micro Maestro 6, the Mini Maestro 12, 18 and 24) answering the MINI-SSC II
// protocol on its serial line, as the Maestro Servo Controller User's Guide gives it. It answers
// the servo numbers from its Mini SSC offset to the offset plus its channels less one, channel 0
// first. Position p puts out its 8-bit neutral + (p - 127) x its 8-bit range / 127, to the quarter
// of a microsecond, within the channel's Min and Max: at the factory 1500 us and 476.25 us
// (1023.75 us at 0, 1976.25 us at 254), and 992 us and 2000 us. A channel puts out no pulse before
// its first command. In its serial mode "UART, fixed baud rate" it takes bytes at its baud rate;
// in "UART, detect baud rate" it takes nothing until the byte 0xAA tells it the rate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim/controller/BoardModel.h"

class CMaestro : public CBoardModel {
public:
    static constexpr std::uint32_t MIN_BAUD = 300;
    static constexpr std::uint32_t MAX_BAUD = 200000;
    static constexpr int DETECT_BYTE = 0xAA;

    // nBaud: its fixed baud rate, unless bDetectBaud.
    CMaestro(int nChannels, int nOffset, std::uint32_t nBaud, bool bDetectBaud)
        : m_nChannels(nChannels), m_nOffset(nOffset), m_nBaud(nBaud), m_bDetectBaud(bDetectBaud) {}

    // The board of --channels, --offset, --baud and --autobaud; nullptr, with the complaint, when
    // they do not fit.
    static std::shared_ptr<const CBoardModel> Make(const CBoardOptions& options,
                                                   std::string* pMessage);

    const char* Name() const override { return "maestro"; }
    int Outputs() const override { return m_nChannels; }
    int ServoOf(int nOutput) const override { return m_nOffset + nOutput; }
    const char* OutputKind() const override { return "channel"; }
    int OutputNumber(int nOutput) const override { return nOutput; }
    double PulseUs(int nPosition) const override;
    double PulseAt(double dPosition) const override;
    std::uint32_t Baud() const override { return m_nBaud; }
    int DetectByte() const override { return m_bDetectBaud ? DETECT_BYTE : -1; }
    std::string DetectWait() const override;
    std::string DetectAdvice() const override;
    const char* Uncommanded() const override { return "no pulse yet"; }
    std::string Words() const override;
    std::string JsonFields() const override;
    std::string Heading() const override;
    std::string Settings() const override;
    std::string TitleHead() const override;
    std::string TitleBaud() const override;
    std::string Answering() const override;
    std::string NotAnswered() const override;

private:
    // "servos 12-17 on channels 0-5".
    std::string ServosOnChannels() const;

    int m_nChannels;
    int m_nOffset;
    std::uint32_t m_nBaud;
    bool m_bDetectBaud;
};

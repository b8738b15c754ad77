#include "sim/controller/Maestro.h"

#include <algorithm>
#include <cmath>

namespace {

// The factory's channel settings: 8-bit neutral and range, and Min and Max, in microseconds.
constexpr double kNeutralUs = 1500;
constexpr double kRangeUs = 476.25;
constexpr double kMinUs = 992;
constexpr double kMaxUs = 2000;

}  // namespace

std::shared_ptr<const CBoardModel> CMaestro::Make(const CBoardOptions& options,
                                                  std::string* pMessage) {
    long nChannels = 6;
    long nOffset = 0;
    long nBaud = 9600;
    if (options.range || options.id) {
        *pMessage = std::string(options.range ? "--range" : "--id") +
                    " is a jumper of the MINI-SSC II, which --board maestro is not";
        return nullptr;
    }
    if (options.channels && (!PlxParseWhole(options.channels->c_str(), 0, 24, &nChannels) ||
                             nChannels % 6 != 0 || nChannels == 0)) {
        *pMessage = "--channels takes 6, 12, 18 or 24, as the Maestros have";
        return nullptr;
    }
    if (options.offset && !PlxParseWhole(options.offset->c_str(), 0, POSITIONS - 1, &nOffset)) {
        *pMessage = "--offset takes the Maestro's Mini SSC offset, from 0 to 254";
        return nullptr;
    }
    if (nOffset + nChannels > POSITIONS) {
        *pMessage = "--offset " + std::to_string(nOffset) + " puts channel " +
                    std::to_string(POSITIONS - nOffset) +
                    " at servo 255, which no byte on the line can name (servos 0-254)";
        return nullptr;
    }
    if (options.baud && options.bAutobaud) {
        *pMessage = "--autobaud detects the baud rate from the byte 0xAA: give no --baud with it";
        return nullptr;
    }
    if (options.baud && !PlxParseWhole(options.baud->c_str(), MIN_BAUD, MAX_BAUD, &nBaud)) {
        *pMessage = "--baud takes 300 to 200000 for the Maestro";
        return nullptr;
    }
    return std::make_shared<CMaestro>(static_cast<int>(nChannels), static_cast<int>(nOffset),
                                      static_cast<std::uint32_t>(nBaud), options.bAutobaud);
}

double CMaestro::PulseAt(double dPosition) const {
    return std::clamp(kNeutralUs + (dPosition - 127) * kRangeUs / 127, kMinUs, kMaxUs);
}

double CMaestro::PulseUs(int nPosition) const {
    return std::round(PulseAt(nPosition) * 4) / 4;  // its targets are quarter microseconds
}

std::string CMaestro::DetectWait() const { return "no byte 0xAA yet to detect the baud rate from"; }

std::string CMaestro::DetectAdvice() const {
    return "the Maestro's serial mode is \"UART, detect baud rate\": it takes nothing until the "
           "byte 0xAA; set it to \"USB Dual Port\" or \"UART, fixed baud rate\"";
}

std::string CMaestro::ServosOnChannels() const {
    return "servos " + PlxServoList(Servos()) + " on channels 0-" + std::to_string(m_nChannels - 1);
}

std::string CMaestro::Heading() const {
    return (m_nChannels == 6 ? "Micro Maestro " : "Mini Maestro ") + std::to_string(m_nChannels);
}

std::string CMaestro::Words() const {
    return "Pololu " + Heading() + " at " +
           (m_bDetectBaud ? "a baud rate it detects from 0xAA"
                          : std::to_string(m_nBaud) + " baud") +
           ", " + ServosOnChannels() + " (Mini SSC offset " + std::to_string(m_nOffset) + ")";
}

std::string CMaestro::JsonFields() const {
    return R"("board":"maestro","baud":)" +
           (m_bDetectBaud ? std::string("null") : std::to_string(m_nBaud)) + R"(,"servos":[)" +
           std::to_string(ServoOf(0)) + "," + std::to_string(ServoOf(m_nChannels - 1)) +
           R"(],"channels":)" + std::to_string(m_nChannels) + R"(,"offset":)" +
           std::to_string(m_nOffset) + R"(,"autobaud":)" + (m_bDetectBaud ? "true" : "false");
}

std::string CMaestro::Settings() const { return ServosOnChannels() + ", " + TitleBaud(); }

std::string CMaestro::TitleHead() const { return Heading() + ", " + ServosOnChannels(); }

std::string CMaestro::TitleBaud() const {
    return m_bDetectBaud ? std::string("autobaud") : std::to_string(m_nBaud) + " baud";
}

std::string CMaestro::Answering() const {
    return "--offset " + std::to_string(m_nOffset) + " --channels " + std::to_string(m_nChannels) +
           ": servos " + PlxServoList(Servos());
}

std::string CMaestro::NotAnswered() const {
    return "not one of servos " + PlxServoList(Servos()) + ": the Maestro's channels 0-" +
           std::to_string(m_nChannels - 1) + " at Mini SSC offset " + std::to_string(m_nOffset);
}

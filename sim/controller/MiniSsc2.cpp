#include "sim/controller/MiniSsc2.h"

#include <climits>
#include <cmath>

namespace {

// --id: "0", "8", "0,8" or "8,0".
bool ParseIds(const std::string& s, std::vector<int>* pFirstServos) {
    if (s == "0" || s == "8") {
        *pFirstServos = {s == "0" ? 0 : 8};
        return true;
    }
    if (s != "0,8" && s != "8,0") return false;
    *pFirstServos = {0, 8};
    return true;
}

}  // namespace

std::shared_ptr<const CBoardModel> CMiniSsc2::Make(const CBoardOptions& options,
                                                   std::string* pMessage) {
    long nBaud = 9600;
    long nRange = 90;
    std::vector<int> firstServos = {0};
    const char* pszMaestros = options.offset      ? "--offset"
                              : options.channels  ? "--channels"
                              : options.bAutobaud ? "--autobaud"
                                                  : nullptr;
    if (pszMaestros != nullptr) {
        *pMessage = std::string(pszMaestros) +
                    " is a setting of the Maestro (--board maestro); the MINI-SSC II has jumpers";
        return nullptr;
    }
    if (options.baud && (!PlxParseWhole(options.baud->c_str(), 0, LONG_MAX, &nBaud) ||
                         (nBaud != 2400 && nBaud != 9600))) {
        *pMessage = "--baud takes 2400 or 9600, as the controller's jumper does";
        return nullptr;
    }
    if (options.range && (!PlxParseWhole(options.range->c_str(), 0, LONG_MAX, &nRange) ||
                          (nRange != 90 && nRange != 180))) {
        *pMessage = "--range takes 90 or 180 (degrees)";
        return nullptr;
    }
    if (options.id && !ParseIds(*options.id, &firstServos)) {
        *pMessage = "--id takes 0 (servos 0-7), 8 (servos 8-15) or 0,8 (two controllers)";
        return nullptr;
    }
    return std::make_shared<CMiniSsc2>(static_cast<std::uint32_t>(nBaud), static_cast<int>(nRange),
                                       firstServos);
}

int CMiniSsc2::Outputs() const { return static_cast<int>(m_firstServos.size()) * BOARD_OUTPUTS; }

int CMiniSsc2::ServoOf(int nOutput) const {
    return m_firstServos[static_cast<std::size_t>(nOutput / BOARD_OUTPUTS)] +
           nOutput % BOARD_OUTPUTS;
}

double CMiniSsc2::PulseAt(double dPosition) const {
    const double dHalfSpanUs = m_nRange == 180 ? 1000.0 : 500.0;
    return 1500.0 + (dPosition - 127) * dHalfSpanUs / 127.0;
}

double CMiniSsc2::PulseUs(int nPosition) const {
    return static_cast<double>(std::lround(PulseAt(nPosition)));
}

std::string CMiniSsc2::Jumpers() const {
    std::string s;
    for (int nFirst : m_firstServos)
        s += (s.empty() ? "" : " and ") + std::to_string(nFirst) + "-" +
             std::to_string(nFirst + BOARD_OUTPUTS - 1);
    return s;
}

std::string CMiniSsc2::Words() const {
    return (m_firstServos.size() > 1 ? "two " : "") + std::string("MINI-SSC II at ") +
           std::to_string(m_nBaud) + " baud, servos " + Jumpers() + ", " +
           std::to_string(m_nRange) + " degrees";
}

std::string CMiniSsc2::JsonFields() const {
    return R"("board":"minissc2","baud":)" + std::to_string(m_nBaud) + R"(,"servos":[)" +
           std::to_string(ServoOf(0)) + "," + std::to_string(ServoOf(Outputs() - 1)) +
           R"(],"range":)" + std::to_string(m_nRange);
}

std::string CMiniSsc2::Heading() const {
    return m_firstServos.size() > 1 ? "MINI-SSC II x2" : "MINI-SSC II";
}

std::string CMiniSsc2::Settings() const {
    return "jumpers: " + std::to_string(m_nBaud) + " baud, servos " + PlxServoList(Servos()) +
           ", " + std::to_string(m_nRange) + " deg";
}

std::string CMiniSsc2::TitleHead() const {
    return "servos " + PlxServoList(Servos()) + ", " + std::to_string(m_nRange) + " deg range";
}

std::string CMiniSsc2::TitleBaud() const { return std::to_string(m_nBaud) + " baud jumper"; }

std::string CMiniSsc2::Answering() const {
    return "--id " +
           (m_firstServos.size() > 1 ? std::string("0,8") : std::to_string(m_firstServos[0])) +
           ": servos " + PlxServoList(Servos());
}

std::string CMiniSsc2::NotAnswered() const { return "not one of servos " + PlxServoList(Servos()); }

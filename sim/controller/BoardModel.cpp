#include "sim/controller/BoardModel.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "sim/controller/Maestro.h"
#include "sim/controller/MiniSsc2.h"

int CBoardModel::OutputOf(int nServo) const {
    for (int n = 0; n < Outputs(); ++n)
        if (ServoOf(n) == nServo) return n;
    return -1;
}

std::string CBoardModel::OutputWords(int nOutput) const {
    const std::string sServo = "servo " + std::to_string(ServoOf(nOutput));
    return OutputKind() == nullptr ? sServo : sServo + " (" + OutputShort(nOutput) + ")";
}

std::string CBoardModel::OutputShort(int nOutput) const {
    return std::string(OutputKind() != nullptr ? OutputKind() : "servo") + " " +
           std::to_string(OutputNumber(nOutput));
}

std::string CBoardModel::JsonOutput(int nOutput) const {
    std::string s = "\"servo\":" + std::to_string(ServoOf(nOutput));
    if (OutputKind() != nullptr)
        s += ",\"" + std::string(OutputKind()) + "\":" + std::to_string(OutputNumber(nOutput));
    return s;
}

std::string PlxShortNumber(double d) {
    char sz[32];
    (void)std::snprintf(sz, sizeof(sz), "%g", d);
    return sz;
}

std::string CBoardModel::PulseText(int nPosition) const {
    return PlxShortNumber(PulseUs(nPosition));
}

std::size_t CBoardModel::PulseChars() const {
    // Measured once: the live view asks for every row of every picture.
    if (m_nPulseChars > 0) return m_nPulseChars;
    for (int n = 0; n < POSITIONS; ++n)
        m_nPulseChars = std::max(m_nPulseChars, PulseText(n).size());
    return m_nPulseChars;
}

double CBoardModel::AngleAt(double dPosition) const { return PlxServoAngle(PulseAt(dPosition)); }

double CBoardModel::DegreesPerStep() const {
    return (AngleAt(POSITIONS - 1) - AngleAt(0)) / (POSITIONS - 1);
}

std::vector<int> CBoardModel::Servos() const {
    std::vector<int> servos(static_cast<std::size_t>(Outputs()));
    for (int n = 0; n < Outputs(); ++n) servos[static_cast<std::size_t>(n)] = ServoOf(n);
    return servos;
}

double PlxServoAngle(double dPulseUs) { return (dPulseUs - 1500) * 90 / 1000; }

std::shared_ptr<const CBoardModel> PlxMakeBoard(const CBoardOptions& options,
                                                std::string* pMessage) {
    if (options.sBoard == "minissc2") return CMiniSsc2::Make(options, pMessage);
    if (options.sBoard == "maestro") return CMaestro::Make(options, pMessage);
    *pMessage = "--board takes minissc2 or maestro";
    return nullptr;
}

bool PlxParseWhole(const char* psz, long nMin, long nMax, long* pnValue) {
    // strtol would pass over spaces before it, where none is taken after it.
    if (psz == nullptr || *psz == '\0' || std::isspace(static_cast<unsigned char>(*psz)))
        return false;
    char* pszEnd = nullptr;
    errno = 0;
    const long n = std::strtol(psz, &pszEnd, 10);
    if (errno != 0 || *pszEnd != '\0' || n < nMin || n > nMax) return false;
    *pnValue = n;
    return true;
}

std::string PlxServoList(const std::vector<int>& servos) {
    std::string s;
    for (std::size_t i = 0; i < servos.size();) {
        std::size_t j = i;
        while (j + 1 < servos.size() && servos[j + 1] == servos[j] + 1) ++j;
        s += (s.empty() ? "" : ",") + std::to_string(servos[i]);
        if (j > i) s += "-" + std::to_string(servos[j]);
        i = j + 1;
    }
    return s;
}

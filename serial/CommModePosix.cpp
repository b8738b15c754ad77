// The mode-string parser behind PlxBuildCommDCBAndTimeouts: the syntax of the Windows "mode"
// command ("COM1: baud=9600 parity=N data=8 stop=1 TO=OFF"), keys and values in any case.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "serial/CommApi.h"

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool ParseOnOff(const std::string& sValue, bool* pbOn) {
    if (sValue == "on") {
        *pbOn = true;
        return true;
    }
    if (sValue == "off") {
        *pbOn = false;
        return true;
    }
    return false;
}

bool ParseBaud(const std::string& sValue, std::uint32_t* pnBaud) {
    if (sValue.empty() || sValue.size() > 7) return false;
    for (char c : sValue)
        if (c < '0' || c > '9') return false;
    const unsigned long nValue = std::stoul(sValue);
    // The two-digit forms the mode command has always taken.
    static const struct {
        unsigned long nShort;
        std::uint32_t nBaud;
    } kShortForms[] = {{11, 110},  {15, 150},  {30, 300},  {60, 600},  {12, 1200},
                       {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
    for (const auto& form : kShortForms) {
        if (form.nShort == nValue) {
            *pnBaud = form.nBaud;
            return true;
        }
    }
    if (nValue < 50 || nValue > 4000000) return false;
    *pnBaud = static_cast<std::uint32_t>(nValue);
    return true;
}

bool ApplySetting(const std::string& sKey, const std::string& sValue, CCommState* pState,
                  CCommTimeouts* pTimeouts) {
    if (sKey == "baud") return ParseBaud(sValue, &pState->BaudRate);
    if (sKey == "parity") {
        static const char kLetters[] = "noems";  // in the order of EParity
        const char* pszAt = sValue.size() == 1 ? std::strchr(kLetters, sValue[0]) : nullptr;
        if (pszAt == nullptr || *pszAt == '\0') return false;
        pState->Parity = static_cast<EParity>(pszAt - kLetters);
        return true;
    }
    if (sKey == "data") {
        if (sValue.size() != 1 || sValue[0] < '5' || sValue[0] > '8') return false;
        pState->ByteSize = static_cast<std::uint8_t>(sValue[0] - '0');
        return true;
    }
    if (sKey == "stop") {
        if (sValue == "1")
            pState->StopBits = EStopBits::One;
        else if (sValue == "1.5")
            pState->StopBits = EStopBits::OneAndHalf;
        else if (sValue == "2")
            pState->StopBits = EStopBits::Two;
        else
            return false;
        return true;
    }
    if (sKey == "to") {
        bool bOn = false;
        if (!ParseOnOff(sValue, &bOn)) return false;
        *pTimeouts = CCommTimeouts();
        // ON bounds each write to a minute; OFF lets reads and writes wait for ever.
        if (bOn) pTimeouts->WriteTotalTimeoutConstant = 60000;
        return true;
    }
    if (sKey == "xon") {
        bool bOn = false;
        if (!ParseOnOff(sValue, &bOn)) return false;
        pState->fOutX = pState->fInX = bOn;
        return true;
    }
    if (sKey == "octs") return ParseOnOff(sValue, &pState->fOutxCtsFlow);
    return false;
}

}  // namespace

bool PlxBuildCommDCBAndTimeouts(const char* pszMode, CCommState* pState, CCommTimeouts* pTimeouts) {
    const std::string sMode(pszMode);
    // A device name before a colon ("COM1:") is allowed and says nothing about the line.
    std::size_t nPos = 0;
    const std::size_t nColon = sMode.find(':');
    if (nColon != std::string::npos && nColon < sMode.find('=')) nPos = nColon + 1;

    CCommState state = *pState;
    CCommTimeouts timeouts = *pTimeouts;
    // Flow control is off unless the string turns it on: the controller has no handshake lines.
    state.fOutxCtsFlow = state.fOutX = state.fInX = false;

    bool bAny = false;
    while (nPos < sMode.size()) {
        if (IsBlank(sMode[nPos])) {
            ++nPos;
            continue;
        }
        std::size_t nEnd = nPos;
        while (nEnd < sMode.size() && !IsBlank(sMode[nEnd])) ++nEnd;
        const std::string sToken = Lower(sMode.substr(nPos, nEnd - nPos));
        nPos = nEnd;
        const std::size_t nEq = sToken.find('=');
        if (nEq == std::string::npos || nEq == 0 || nEq + 1 == sToken.size() ||
            !ApplySetting(sToken.substr(0, nEq), sToken.substr(nEq + 1), &state, &timeouts)) {
            PlxSetLastError(EINVAL);
            return false;
        }
        bAny = true;
    }
    if (!bAny) {
        PlxSetLastError(EINVAL);
        return false;
    }
    *pState = state;
    *pTimeouts = timeouts;
    return true;
}

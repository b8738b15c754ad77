#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "serial/PortMap.h"

const char* const PLX_SERIAL_DEVICE_PREFIX = "/dev/ttyS";

std::string PlxPortMapDirectory() {
    const char* pszConfig = std::getenv("XDG_CONFIG_HOME");
    if (pszConfig != nullptr && pszConfig[0] == '/') return std::string(pszConfig) + "/plx/ports";
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && pszHome[0] == '/') return std::string(pszHome) + "/.config/plx/ports";
    return std::string();
}

std::string PlxPortMapEntryName(std::int32_t nPort) { return "com" + std::to_string(nPort); }

bool PlxResolveComPort(std::int32_t nPort, std::string* pPath, int* pnError) {
    const std::string sDir = PlxPortMapDirectory();
    if (!sDir.empty()) {
        const std::string sEntry = sDir + "/" + PlxPortMapEntryName(nPort);
        struct stat st;
        if (::lstat(sEntry.c_str(), &st) == 0) {
            // A dangling link is still this port's entry: opening it then says what is missing.
            *pPath = sEntry;
            return true;
        }
        // A map we cannot search must not send the user to some other device unseen.
        if (errno != ENOENT && errno != ENOTDIR) {
            *pnError = errno;
            return false;
        }
    }
    if (nPort <= 0) {
        *pnError = ENOENT;
        return false;
    }
    *pPath = PLX_SERIAL_DEVICE_PREFIX + std::to_string(static_cast<long long>(nPort) - 1);
    return true;
}

bool PlxParsePortName(const char* pszName, std::int32_t* pnPort) {
    if (std::strncmp(pszName, "COM", 3) != 0) return false;
    const char* pszDigits = pszName + 3;
    // Only what "COM%i" produces: an optional minus, then digits.
    const char* pszFirst = *pszDigits == '-' ? pszDigits + 1 : pszDigits;
    if (*pszFirst < '0' || *pszFirst > '9') return false;
    char* pszEnd = nullptr;
    errno = 0;
    const long nValue = std::strtol(pszDigits, &pszEnd, 10);
    if (errno != 0 || *pszEnd != '\0' || nValue < INT32_MIN || nValue > INT32_MAX) return false;
    *pnPort = static_cast<std::int32_t>(nValue);
    return true;
}

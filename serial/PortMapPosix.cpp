#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "serial/PortMap.h"

const char* const PLX_SERIAL_DEVICE_PREFIX = "/dev/ttyS";

namespace {

// The port an entry name stands for: "com" and n exactly as "COM%i" writes it, in any case.
bool PortOfEntryName(const std::string& sName, std::int32_t* pnPort) {
    std::string sUpper = sName;
    for (char& c : sUpper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::int32_t nPort = 0;
    if (!PlxParsePortName(sUpper.c_str(), &nPort) || sUpper != "COM" + std::to_string(nPort))
        return false;
    *pnPort = nPort;
    return true;
}

// Two entries agree when they are the same link text or lead to the same file.
bool SameTarget(const std::string& sFirst, const std::string& sSecond) {
    const std::string sLink = PlxLinkTarget(sFirst);
    if (!sLink.empty() && sLink == PlxLinkTarget(sSecond)) return true;
    struct stat a;
    struct stat b;
    return ::stat(sFirst.c_str(), &a) == 0 && ::stat(sSecond.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::string PlxPortMapDirectory() {
    const char* pszConfig = std::getenv("XDG_CONFIG_HOME");
    if (pszConfig != nullptr && pszConfig[0] == '/') return std::string(pszConfig) + "/plx/ports";
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && pszHome[0] == '/') return std::string(pszHome) + "/.config/plx/ports";
    return std::string();
}

std::string PlxWhyNoPortMap() {
    std::string sIgnored;
    int nIgnored = 0;
    for (const char* pszName : {"XDG_CONFIG_HOME", "HOME"}) {
        const char* pszValue = std::getenv(pszName);
        if (pszValue == nullptr || *pszValue == '\0') continue;
        sIgnored += std::string(nIgnored++ == 0 ? "" : " and ") + pszName + "=" + pszValue;
    }
    if (nIgnored == 0) return "set HOME or XDG_CONFIG_HOME";
    return sIgnored + (nIgnored == 1 ? " is" : " are") +
           " ignored, as only an absolute path counts: set HOME or XDG_CONFIG_HOME to one";
}

std::string PlxLinkTarget(const std::string& sPath, int* pnError) {
    char szTarget[4096];
    const ssize_t n = ::readlink(sPath.c_str(), szTarget, sizeof(szTarget));
    if (pnError != nullptr) *pnError = n < 0 ? errno : 0;
    return n < 0 ? std::string() : std::string(szTarget, static_cast<std::size_t>(n));
}

CPortMapCheck PlxCheckPortMap(const std::string& sDirectory) {
    CPortMapCheck check;
    struct stat st;
    if (::stat(sDirectory.c_str(), &st) == 0) {
        check.eState =
            S_ISDIR(st.st_mode) ? CPortMapCheck::EState::Present : CPortMapCheck::EState::Unusable;
        check.nError = S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
        return check;
    }
    check.eState = CPortMapCheck::EState::Unusable;
    check.nError = errno;
    // From the root down, the first folder that is not simply there decides: a missing one means
    // there is no map, a symbolic link that leads nowhere means a map that cannot be reached
    // (an unmounted disk, say), which must not send the user to some other device unseen.
    for (std::size_t nEnd = sDirectory.find('/', 1);; nEnd = sDirectory.find('/', nEnd + 1)) {
        const std::string sPart = sDirectory.substr(0, nEnd);
        if (::lstat(sPart.c_str(), &st) != 0) return errno == ENOENT ? CPortMapCheck() : check;
        if (S_ISLNK(st.st_mode) && ::stat(sPart.c_str(), &st) != 0) {
            check.nError = errno;
            check.sBrokenLink = sPart;
            return check;
        }
        if (nEnd == std::string::npos) return check;
    }
}

std::string PlxPortMapEntryName(std::int32_t nPort) { return "com" + std::to_string(nPort); }

bool PlxReadPortMap(const std::string& sDirectory, std::vector<CPortMapEntry>* pEntries,
                    int* pnError) {
    pEntries->clear();
    DIR* pDir = ::opendir(sDirectory.c_str());
    if (pDir == nullptr) {
        *pnError = errno;
        return false;
    }
    errno = 0;
    while (const dirent* pEntry = ::readdir(pDir)) {
        CPortMapEntry entry;
        entry.sName = pEntry->d_name;
        if (PortOfEntryName(entry.sName, &entry.nPort)) pEntries->push_back(entry);
    }
    const int nError = errno;
    ::closedir(pDir);
    if (nError != 0) {
        *pnError = nError;
        return false;
    }
    std::sort(pEntries->begin(), pEntries->end(),
              [](const CPortMapEntry& a, const CPortMapEntry& b) { return a.sName < b.sName; });
    return true;
}

bool PlxResolveComPort(std::int32_t nPort, std::string* pPath, int* pnError, bool* pbMapped) {
    if (pbMapped != nullptr) *pbMapped = false;
    const std::string sDir = PlxPortMapDirectory();
    const CPortMapCheck check = sDir.empty() ? CPortMapCheck() : PlxCheckPortMap(sDir);
    if (check.eState == CPortMapCheck::EState::Unusable) {
        *pnError = check.nError;
        return false;
    }
    if (check.eState == CPortMapCheck::EState::Present) {
        std::vector<CPortMapEntry> entries;
        if (!PlxReadPortMap(sDir, &entries, pnError)) return false;
        std::string sFound;
        for (const CPortMapEntry& entry : entries) {
            if (entry.nPort != nPort) continue;
            const std::string sEntry = sDir + "/" + entry.sName;
            if (sFound.empty()) {
                sFound = sEntry;
            } else if (!SameTarget(sFound, sEntry)) {
                *pnError = ENOTUNIQ;  // com1 and COM1 lead to different places: no guessing
                return false;
            }
        }
        if (!sFound.empty()) {
            // A dangling link is still this port's entry: opening it then says what is missing.
            *pPath = sFound;
            if (pbMapped != nullptr) *pbMapped = true;
            return true;
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

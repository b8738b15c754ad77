#include "sim/PortRegistration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "serial/CommApi.h"
#include "serial/PortMap.h"

namespace {

std::string LinkTarget(const std::string& sPath) {
    char szTarget[4096];
    const ssize_t n = ::readlink(sPath.c_str(), szTarget, sizeof(szTarget) - 1);
    return n < 0 ? std::string() : std::string(szTarget, static_cast<std::size_t>(n));
}

bool MakeDirectories(const std::string& sPath, std::string* pError) {
    for (std::size_t nSlash = 1; nSlash != std::string::npos;) {
        nSlash = sPath.find('/', nSlash + 1);
        const std::string sPart = sPath.substr(0, nSlash);
        if (::mkdir(sPart.c_str(), 0755) != 0 && errno != EEXIST) {
            *pError = "cannot create " + sPart + ": " + PlxFormatMessage(errno);
            return false;
        }
    }
    return true;
}

// Says that another entry already names the port.
bool Taken(const std::string& sCom, const std::string& sOther, std::string* pError) {
    *pError = sCom + " is taken: " + sOther + " points to " + LinkTarget(sOther) +
              "; remove it or choose another --port";
    return false;
}

}  // namespace

bool CPortRegistration::Register(const std::string& sDirectory, std::int32_t nPort,
                                 const std::string& sDevice, bool* pReplaced, std::string* pError) {
    *pReplaced = false;
    if (sDirectory.empty()) {
        *pError = "no port map directory: set HOME or XDG_CONFIG_HOME";
        return false;
    }
    if (!MakeDirectories(sDirectory, pError)) return false;
    const std::string sEntry = sDirectory + "/" + PlxPortMapEntryName(nPort);
    const std::string sCom = "COM" + std::to_string(nPort);
    // COM names are read in any case: a "COM1" of someone else's would clash with our "com1".
    std::vector<CPortMapEntry> entries;
    int nError = 0;
    if (PlxReadPortMap(sDirectory, &entries, &nError)) {
        for (const CPortMapEntry& entry : entries) {
            if (entry.nPort == nPort && entry.sName != PlxPortMapEntryName(nPort))
                return Taken(sCom, sDirectory + "/" + entry.sName, pError);
        }
    }

    struct stat st;
    if (::lstat(sEntry.c_str(), &st) == 0) {
        struct stat target;
        const bool bDangling = S_ISLNK(st.st_mode) && ::stat(sEntry.c_str(), &target) != 0 &&
                               (errno == ENOENT || errno == ENOTDIR);
        if (!bDangling) {
            *pError = sCom + " is taken: " + sEntry +
                      (S_ISLNK(st.st_mode) ? " points to " + LinkTarget(sEntry)
                                           : std::string(" is not a link")) +
                      "; remove it or choose another --port";
            return false;
        }
        if (::unlink(sEntry.c_str()) != 0 && errno != ENOENT) {
            *pError = "cannot replace " + sEntry + ": " + PlxFormatMessage(errno);
            return false;
        }
        *pReplaced = true;
    }
    // symlink never overwrites: if another simulator got there first, this one says so.
    if (::symlink(sDevice.c_str(), sEntry.c_str()) != 0) {
        *pError = errno == EEXIST
                      ? sCom + " is taken: " + sEntry + " points to " + LinkTarget(sEntry)
                      : "cannot write " + sEntry + ": " + PlxFormatMessage(errno);
        return false;
    }
    m_sEntry = sEntry;
    m_sDevice = sDevice;
    return true;
}

void CPortRegistration::Unregister() {
    if (m_sEntry.empty()) return;
    // Someone may have pointed the entry elsewhere since; theirs stays.
    if (LinkTarget(m_sEntry) == m_sDevice) ::unlink(m_sEntry.c_str());
    m_sEntry.clear();
}

#include "sim/line/PortRegistration.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "serial/CommApi.h"
#include "serial/PortMap.h"

namespace {

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
    const std::string sTarget = PlxLinkTarget(sOther);
    *pError = sCom + " is taken: " + sOther +
              (sTarget.empty() ? std::string(" is not a link") : " points to " + sTarget) +
              "; choose another --port";
    return false;
}

}  // namespace

bool CPortRegistration::Lock(const std::string& sCom, std::string* pError) {
    // A lock file can be removed by its holder between our open and our flock: then the lock we
    // hold is on a file nobody else will look at, and we try again.
    for (int nTry = 0; nTry < 10; ++nTry) {
        const int fd = ::open(m_sLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            *pError = "cannot write " + m_sLock + ": " + PlxFormatMessage(errno);
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int nError = errno;
            ::close(fd);
            *pError = nError == EWOULDBLOCK
                          ? sCom + " is taken by another plx-ssc-sim; choose another --port"
                          : "cannot lock " + m_sLock + ": " + PlxFormatMessage(nError);
            return false;
        }
        struct stat held;
        struct stat named;
        if (::fstat(fd, &held) == 0 && ::stat(m_sLock.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            m_lock = fd;
            return true;
        }
        ::close(fd);
    }
    *pError = "cannot lock " + m_sLock;
    return false;
}

bool CPortRegistration::Register(const std::string& sDirectory, std::int32_t nPort,
                                 const std::string& sDevice, std::string* pReplaced,
                                 std::string* pError) {
    pReplaced->clear();
    if (sDirectory.empty()) {
        *pError = "no port map directory: " + PlxWhyNoPortMap();
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
    // Under the lock no other simulator touches this port's entry.
    m_sLock = sDirectory + "/." + PlxPortMapEntryName(nPort) + ".lock";
    if (!Lock(sCom, pError) || !Claim(sCom, sEntry, sDevice, pReplaced, pError)) {
        Unregister();
        return false;
    }
    m_sEntry = sEntry;
    m_sDevice = sDevice;
    return true;
}

bool CPortRegistration::Claim(const std::string& sCom, const std::string& sEntry,
                              const std::string& sDevice, std::string* pReplaced,
                              std::string* pError) {
    std::string sLeftBy;  // the device a simulator that is gone registered
    char szLeft[4096];
    const ssize_t nLeft = ::pread(m_lock, szLeft, sizeof(szLeft), 0);
    if (nLeft > 0) sLeftBy.assign(szLeft, static_cast<std::size_t>(nLeft));

    struct stat st;
    if (::lstat(sEntry.c_str(), &st) == 0) {
        const std::string sTarget = S_ISLNK(st.st_mode) ? PlxLinkTarget(sEntry) : std::string();
        struct stat target;
        if (!sTarget.empty() && sTarget == sLeftBy) {
            *pReplaced = "the entry a simulator that is gone left (" + sTarget + ")";
        } else if (sTarget.rfind("/dev/pts/", 0) == 0 && ::stat(sEntry.c_str(), &target) != 0 &&
                   errno == ENOENT) {
            *pReplaced = "a link to " + sTarget + ", a terminal that is gone";
        } else {
            return Taken(sCom, sEntry, pError);
        }
        if (::unlink(sEntry.c_str()) != 0 && errno != ENOENT) {
            *pError = "cannot replace " + sEntry + ": " + PlxFormatMessage(errno);
            return false;
        }
    }
    // symlink never overwrites: if another program got there first, this one says so.
    if (::symlink(sDevice.c_str(), sEntry.c_str()) != 0) {
        if (errno == EEXIST) return Taken(sCom, sEntry, pError);
        *pError = "cannot write " + sEntry + ": " + PlxFormatMessage(errno);
        return false;
    }
    // The lock names what this simulator registered, for whoever finds the entry after it.
    if (::ftruncate(m_lock, 0) != 0 || ::pwrite(m_lock, sDevice.data(), sDevice.size(), 0) !=
                                           static_cast<ssize_t>(sDevice.size())) {
        *pError = "cannot write " + m_sLock + ": " + PlxFormatMessage(errno);
        ::unlink(sEntry.c_str());
        return false;
    }
    return true;
}

bool CPortRegistration::Unregister(std::vector<std::string>* pFailures) {
    bool bOk = true;
    const auto Remove = [&](const std::string& sPath) {
        if (::unlink(sPath.c_str()) == 0 || errno == ENOENT) return;
        bOk = false;
        if (pFailures != nullptr)
            pFailures->push_back("cannot remove " + sPath + ": " + PlxFormatMessage(errno));
    };
    // Someone may have pointed the entry elsewhere since, or removed it; theirs stays. One that
    // cannot even be read back stays too, and is told: it may still send programs here.
    if (!m_sEntry.empty()) {
        int nError = 0;
        const std::string sTarget = PlxLinkTarget(m_sEntry, &nError);
        if (nError == 0 && sTarget == m_sDevice) {
            Remove(m_sEntry);
        } else if (nError != 0 && nError != ENOENT && nError != EINVAL) {
            bOk = false;
            if (pFailures != nullptr)
                pFailures->push_back("cannot read " + m_sEntry + " back: " +
                                     PlxFormatMessage(nError) + "; it is left in place");
        }
    }
    m_sEntry.clear();
    if (m_lock >= 0) {
        // Removed while still held: whoever opens the name after this gets a new file.
        Remove(m_sLock);
        ::close(m_lock);
        m_lock = -1;
    }
    m_sLock.clear();
    return bOk;
}

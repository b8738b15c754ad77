#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "serial/CommApi.h"
#include "serial/PortFinder.h"
#include "serial/PortMap.h"
#include "serial/TerminalGuard.h"

namespace {

std::vector<std::string> DirectoryNames(const std::string& sPath) {
    std::vector<std::string> names;
    DIR* pDir = ::opendir(sPath.c_str());
    if (pDir == nullptr) return names;
    while (const dirent* pEntry = ::readdir(pDir)) {
        if (pEntry->d_name[0] != '.') names.emplace_back(pEntry->d_name);
    }
    ::closedir(pDir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string Child(const std::string& sDir, const std::string& sName) { return sDir + "/" + sName; }

std::string BaseName(const std::string& sPath) { return sPath.substr(sPath.rfind('/') + 1); }

// The first line of a sysfs attribute, without its line end; empty when there is none.
std::string Attribute(const std::string& sPath) {
    std::string sText;
    if (!PlxReadSmallFile(sPath, &sText)) return std::string();
    return sText.substr(0, sText.find('\n'));
}

// For a USB device with more than one serial interface (a servo controller's command and TTL
// ports): which one sInterface is, by its own name where that tells it from the others, by its
// number otherwise (as the /dev/serial/by-id names' -if00, -if02). Empty for a device with one.
std::string WhichInterface(const std::string& sUsbDir, const std::string& sInterface) {
    std::vector<std::string> names;  // of the device's interfaces that carry a serial port
    for (const std::string& sEntry : DirectoryNames(sUsbDir)) {
        const std::string sDir = Child(sUsbDir, sEntry);
        // cdc_acm puts its tty on the interface, usb-serial a ttyUSB port device.
        const std::vector<std::string> children = DirectoryNames(sDir);
        if (sEntry.find(':') != std::string::npos &&
            std::any_of(children.begin(), children.end(), [](const std::string& s) {
                return s == "tty" || s.rfind("ttyUSB", 0) == 0;
            }))
            names.push_back(Attribute(Child(sDir, "interface")));
    }
    if (names.size() < 2 || sInterface.empty()) return std::string();
    const std::string sName = Attribute(Child(sInterface, "interface"));
    if (!sName.empty() && std::count(names.begin(), names.end(), sName) == 1)
        return " (" + sName + ")";
    const std::string sNumber = Attribute(Child(sInterface, "bInterfaceNumber"));
    return " (interface " + std::to_string(std::strtol(sNumber.c_str(), nullptr, 16)) + ")";
}

// The words the kernel has for the hardware: the USB product and maker, found on the USB device
// a few levels above the tty's own device, and which of its serial interfaces this is.
std::string Description(const std::string& sClassDir, const std::string& sName) {
    char szReal[PATH_MAX];
    if (::realpath((sClassDir + "/device").c_str(), szReal) != nullptr) {
        std::string sDir = szReal;
        std::string sBelow;  // the folder the way up came from: the USB interface, at the device
        for (int nLevel = 0; nLevel < 4 && sDir.size() > 1; ++nLevel) {
            const std::string sProduct = Attribute(Child(sDir, "product"));
            if (!sProduct.empty()) {
                const std::string sMaker = Attribute(Child(sDir, "manufacturer"));
                std::string sDescription = sProduct;
                if (!sMaker.empty()) sDescription.append(", ").append(sMaker);
                return sDescription + WhichInterface(sDir, sBelow);
            }
            sBelow = sDir;
            sDir = sDir.substr(0, sDir.rfind('/'));
        }
    }
    if (sName.rfind("ttyS", 0) == 0) return "built-in serial port";
    const std::string sDriver = BaseName(PlxLinkTarget(sClassDir + "/device/driver"));
    return sDriver.empty() ? "serial port" : "serial port (" + sDriver + ")";
}

// Quotes a path for the shell when it needs it.
std::string ShellWord(const std::string& s) {
    const bool bPlain = !s.empty() && s.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklm"
                                          "nopqrstuvwxyz0123456789_./:+@%,=-") == std::string::npos;
    if (bPlain) return s;
    std::string sQuoted = "'";
    for (char c : s) sQuoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return sQuoted + "'";
}

// 0 when sPath leads to something; otherwise the system's reason why not.
int Unreachable(const std::string& sPath) {
    struct stat st;
    return ::stat(sPath.c_str(), &st) == 0 ? 0 : errno;
}

// ", which does not exist", or the system's own words when something else is wrong (a loop).
std::string WhyUnreachable(int nError) {
    return nError == ENOENT ? ", which does not exist" : ": " + PlxFormatMessage(nError);
}

// Why a port map that is there cannot be searched, in one sentence.
std::string WhyMapUnusable(const std::string& sMapDir, const CPortMapCheck& check) {
    if (!check.sBrokenLink.empty())
        return "The port map " + sMapDir + " cannot be reached: " + check.sBrokenLink +
               " is a link to " + PlxLinkTarget(check.sBrokenLink) + WhyUnreachable(check.nError);
    if (check.nError == ENOTDIR)
        return "The port map " + sMapDir + " (or a folder on the way to it) is not a directory";
    return "The port map " + sMapDir + " cannot be read: " + PlxFormatMessage(check.nError);
}

// For a device this user may not open but its group may: the group, and the command that lets
// the user in (as Debian's dialout is joined). Empty when joining a group would not help.
std::string HowToJoin(const std::string& sPath, const struct stat& st) {
    if (::access(sPath.c_str(), R_OK | W_OK) == 0 || errno != EACCES ||
        (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return std::string();
    const group* pGroup = ::getgrgid(st.st_gid);
    const std::string sGroup = pGroup != nullptr ? pGroup->gr_name : std::to_string(st.st_gid);
    const passwd* pUser = ::getpwuid(::geteuid());
    const std::string sUser = pUser != nullptr ? ShellWord(pUser->pw_name) : "\"$USER\"";
    return ", which only the group " + sGroup + " may open.\nTo be let in, join " + sGroup +
           ", then log in again:\n  sudo usermod -aG " + ShellWord(sGroup) + " " + sUser;
}

// The line discipline of the terminal device sPath when it is not the terminal's own ("n_null");
// empty when it is, or when that cannot be told. Opened only to ask, nothing on it changed.
std::string OtherLineDiscipline(const std::string& sPath, const CSystemRoots& roots) {
    const int fd = ::open(sPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string();
    int nDiscipline = N_TTY;
    const bool bAsked = ::ioctl(fd, TIOCGETD, &nDiscipline) == 0;
    ::close(fd);
    if (!bAsked || nDiscipline == N_TTY) return std::string();
    const std::string sName = PlxLineDisciplineName(roots.sProc, nDiscipline);
    return sName.empty() ? "number " + std::to_string(nDiscipline) : sName;
}

// "screen (pid 4242)", as the kernel names the process.
std::string ProcessName(const std::string& sProc, const std::string& sPid) {
    const std::string sName = PlxProcessCommand(sProc, sPid);
    return sName.empty() ? "process " + sPid : sName + " (pid " + sPid + ")";
}

bool IsPid(const char* pszName) {
    return pszName[0] != '\0' &&
           std::string(pszName).find_first_not_of("0123456789") == std::string::npos;
}

// Whether process sPid holds the other end of the pseudo-terminal whose slave is rdev: its far
// end (a terminal window, the simulator), not a program holding the port. fdinfo gives the
// index of the pseudo-terminal that a descriptor on ptmx made ("tty-index:\t3").
bool HoldsMasterOf(const std::string& sFds, const std::string& sFdInfo, dev_t rdev) {
    constexpr unsigned kPtsMajor = 136;  // 136 to 143: /dev/pts/N, N = (major - 136) * 256 + minor
    if (major(rdev) < kPtsMajor || major(rdev) >= kPtsMajor + 8) return false;
    const std::string sIndex = std::to_string((major(rdev) - kPtsMajor) * 256 + minor(rdev));
    for (const std::string& sFd : DirectoryNames(sFds)) {
        const std::string sTarget = PlxLinkTarget(Child(sFds, sFd));
        if (sTarget != "/dev/ptmx" && sTarget != "/dev/pts/ptmx") continue;
        std::string sInfo;
        if (PlxReadSmallFile(Child(sFdInfo, sFd), &sInfo) &&
            sInfo.find("tty-index:\t" + sIndex + "\n") != std::string::npos)
            return true;
    }
    return false;
}

// Who holds the line at sPath, for a user told it is busy: the owner of an flock on it; else
// every other process that has it open, of those whose open files this user may look at, but
// the far end of a pseudo-terminal. Empty when none could be found.
std::string Holders(const std::string& sPath, const CSystemRoots& roots) {
    struct stat st;
    if (::stat(sPath.c_str(), &st) != 0) return std::string();
    // -1: its open files are not this user's to see.
    const auto HasOpen = [&](const std::string& sPid) {
        const std::string sFds = Child(Child(roots.sProc, sPid), "fd");
        if (::access(sFds.c_str(), R_OK | X_OK) != 0) return -1;
        const std::vector<std::string> fds = DirectoryNames(sFds);
        return std::any_of(fds.begin(), fds.end(),
                           [&](const std::string& sFd) {
                               return PlxFdIsDevice(Child(sFds, sFd), st.st_rdev);
                           }) &&
                       !HoldsMasterOf(sFds, Child(Child(roots.sProc, sPid), "fdinfo"), st.st_rdev)
                   ? 1
                   : 0;
    };
    // A lock's owner as /proc/locks has it: the process that took it, whose number may since
    // have gone to another that has nothing to do with the line.
    std::vector<std::string> pids;
    for (pid_t nPid : PlxFlockOwners(st, roots)) {
        if (HasOpen(std::to_string(nPid)) != 0) pids.push_back(std::to_string(nPid));
    }
    if (pids.empty()) {
        const std::string sSelf = std::to_string(::getpid());
        for (const std::string& sPid : DirectoryNames(roots.sProc)) {
            if (IsPid(sPid.c_str()) && sPid != sSelf && HasOpen(sPid) == 1) pids.push_back(sPid);
        }
    }
    std::string sHolders;
    for (const std::string& sPid : pids)
        sHolders += (sHolders.empty() ? "" : ", ") + ProcessName(roots.sProc, sPid);
    return sHolders;
}

// What COMn turned out to be, and why it could not be used, in one line (two more for a group
// to join). nError: why it could not be opened. *pbHeld: whether it is the right port, only
// another program's for now.
std::string WhatThePortIs(std::int32_t nPort, const std::string& sMapDir, const CPortMapCheck& map,
                          const CSystemRoots& roots, int nError, bool* pbHeld) {
    const std::string sCom = "COM" + std::to_string(nPort);
    if (map.eState == CPortMapCheck::EState::Unusable)
        return WhyMapUnusable(sMapDir, map) + "; " + sCom + " is not looked for elsewhere.";
    std::string sPath;
    int nResolveError = 0;
    bool bMapped = false;
    if (!PlxResolveComPort(nPort, &sPath, &nResolveError, &bMapped)) {
        if (nResolveError == ENOTUNIQ)
            return "The port map " + sMapDir + " has entries for " + sCom +
                   " that lead to different places; keep one.";
        if (nResolveError == ENOENT)
            return sCom + " has no entry in the port map, and without one only COM1 and up " +
                   "stand for serial ports.";
        return WhyMapUnusable(sMapDir,
                              CPortMapCheck{CPortMapCheck::EState::Unusable, nResolveError, ""}) +
               "; " + sCom + " is not looked for elsewhere.";
    }
    std::string sLine = sCom + " is " + sPath;
    if (bMapped) {
        const std::string sTarget = PlxLinkTarget(sPath);
        if (!sTarget.empty()) sLine += " -> " + sTarget;
    } else {
        sLine += " (no entry for it in the port map)";
    }
    if (const int nMissing = Unreachable(sPath)) return sLine + WhyUnreachable(nMissing) + ".";
    struct stat st;
    if (::stat(sPath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return sLine + ", which is not a device.";
    if (!PlxIsTerminalDevice(st.st_rdev, roots)) return sLine + ", which is not a serial port.";
    const CDeviceRefusal refusal = PlxCheckDeviceFree(st.st_rdev, roots);
    if (refusal.nError != 0) return sLine + ", " + refusal.sWhy + ": not a port for servos.";
    const std::string sDiscipline =
        nError == EBUSY ? OtherLineDiscipline(sPath, roots) : std::string();
    if (!sDiscipline.empty())
        return sLine + ", on which another program runs the line discipline " + sDiscipline +
               ", not a terminal's: not a port for servos.";
    if (nError == EBUSY) {
        *pbHeld = true;
        const std::string sHolders = Holders(sPath, roots);
        if (!sHolders.empty()) return sLine + ", held by " + sHolders + ".";
        return sLine +
               ", held by another program that could not be told: often a terminal program, or "
               "ModemManager probing a newly plugged adapter (sudo systemctl stop ModemManager).";
    }
    const std::string sJoin = HowToJoin(sPath, st);
    return sLine + (sJoin.empty() ? "." : sJoin);
}

// Whether `mkdir -p sMapDir && ln -sfn ... sEntry` would work for this user: the deepest folder
// of the map that exists can be written, and no directory stands where the link goes.
bool MappingCommandWorks(const std::string& sMapDir, const CPortMapCheck& map,
                         const std::string& sEntry) {
    if (map.eState == CPortMapCheck::EState::Unusable) return false;
    struct stat st;
    if (::lstat(sEntry.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
    std::string sFolder = sMapDir;
    while (::stat(sFolder.c_str(), &st) != 0 && sFolder.size() > 1)
        sFolder = sFolder.substr(0, std::max<std::size_t>(sFolder.rfind('/'), 1));
    return S_ISDIR(st.st_mode) && ::access(sFolder.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

std::vector<CSerialPortInfo> PlxListSerialPorts(const CSystemRoots& roots) {
    std::vector<CSerialPortInfo> ports;
    const std::string sClass = roots.sSys + "/class/tty";
    const std::string sById = roots.sDev + "/serial/by-id";
    const std::vector<std::string> stableNames = DirectoryNames(sById);
    for (const std::string& sName : DirectoryNames(sClass)) {
        const std::string sDir = Child(sClass, sName);
        struct stat st;
        // Virtual terminals, consoles and pseudo-terminals have no hardware device.
        if (::stat(Child(sDir, "device").c_str(), &st) != 0) continue;
        // Built-in UART slots that the kernel found no chip for say type 0.
        const std::string sType = Attribute(Child(sDir, "type"));
        if (sName.rfind("ttyS", 0) == 0 && (sType.empty() || sType == "0")) continue;
        CSerialPortInfo port;
        port.sName = Child(roots.sDev, sName);
        port.sDescription = Description(sDir, sName);
        for (const std::string& sStable : stableNames) {
            const std::string sLink = Child(sById, sStable);
            if (BaseName(PlxLinkTarget(sLink)) == sName) port.links.push_back(sLink);
        }
        dev_t dev = 0;
        if (PlxParseDeviceNumber(Attribute(Child(sDir, "dev")), &dev))
            port.sUnusable = PlxCheckDeviceFree(dev, roots).sWhy;
        ports.push_back(port);
    }
    return ports;
}

std::string PlxPortHelp(std::int32_t nPort, int nError, const std::vector<CSerialPortInfo>& ports,
                        const CSystemRoots& roots) {
    const std::string sMapDir = PlxPortMapDirectory();
    const CPortMapCheck map = sMapDir.empty() ? CPortMapCheck() : PlxCheckPortMap(sMapDir);
    bool bHeld = false;
    std::string sHelp = WhatThePortIs(nPort, sMapDir, map, roots, nError, &bHeld) + "\n";

    std::string sSuggested;
    if (ports.empty()) {
        sHelp += "No serial ports found on this machine: is the adapter plugged in?\n";
    } else {
        sHelp += "Serial ports on this machine:\n";
        for (const CSerialPortInfo& port : ports) {
            sHelp += "  " + port.sName + "  " + port.sDescription;
            if (!port.sUnusable.empty()) sHelp += " (" + port.sUnusable + ", not for servos)";
            sHelp += "\n";
            for (const std::string& sLink : port.links) sHelp += "    " + sLink + "\n";
            if (sSuggested.empty() && port.sUnusable.empty())
                sSuggested = port.links.empty() ? port.sName : port.links.front();
        }
    }

    if (sMapDir.empty()) return sHelp + "There is no port map: " + PlxWhyNoPortMap() + ".\n";
    std::vector<CPortMapEntry> entries;
    int nReadError = 0;
    std::string sEntry = sMapDir + "/" + PlxPortMapEntryName(nPort);
    if (PlxReadPortMap(sMapDir, &entries, &nReadError) && !entries.empty()) {
        sHelp += "Port map " + sMapDir + ":\n";
        for (const CPortMapEntry& entry : entries) {
            const std::string sPath = Child(sMapDir, entry.sName);
            const std::string sTarget = PlxLinkTarget(sPath);
            const int nMissing = Unreachable(sPath);
            sHelp += "  " + entry.sName + " -> " + (sTarget.empty() ? "(not a link)" : sTarget);
            if (nMissing != 0)
                sHelp +=
                    nMissing == ENOENT ? " (missing)" : " (" + PlxFormatMessage(nMissing) + ")";
            sHelp += "\n";
            if (entry.nPort == nPort) sEntry = sPath;  // replace it rather than add a second
        }
    }
    // The right port, busy for now: a command that maps another there would only lose it.
    if (bHeld) return sHelp;
    const std::string sCom = "COM" + std::to_string(nPort);
    // Only a command that works as printed: one that fails would leave the user more lost.
    if (!MappingCommandWorks(sMapDir, map, sEntry))
        return sHelp + "Map a port as " + sCom + " once " + sMapDir +
               " is a folder you can write to.\n";
    sHelp += "To use a port as " + sCom + ":\n  mkdir -p " + ShellWord(sMapDir) + " && ln -sfn " +
             ShellWord(sSuggested.empty() ? "/dev/ttyUSB0" : sSuggested) + " " + ShellWord(sEntry) +
             "\n";
    return sHelp;
}

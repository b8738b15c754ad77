// plx-vm-guest: the test machine's side of ./test --vm. It runs in the virtual machine, on the
// console, and does what the host's tests ask, one command a line, reporting back on the console:
//   ID VERB ARG...      -> lines "@ID KEY VALUE", then "@ID done"
// Arguments and values are written as one word each (vm/ConsoleWords.h). The verbs:
//   start NAME UID GID GROUPS INPUT   plx-ssc-test as user UID:GID with the supplementary groups
//                                     GROUPS (comma-separated, "-" for none); INPUT goes to its
//                                     standard input, which stays open ("@FILE": a file instead)
//   type NAME TEXT | close NAME | signal NAME N
//   wait NAME                         its end: status (an exit code, or "signal N"), out, err
//   lines                             each of the machine's lines by name, with its device
//   line LINE                         the line as the driver holds it, and the exclusive mark
//   present LINE | gone LINE          waits until the line's device is there, or not
//   map N LINE                        root's port map: comN -> the line's device
//   own LINE UID GID MODE             chown and chmod (MODE in octal)
//   stty LINE BAUD                    sets the line as stty would: 9600 as `stty 9600 cs8 -parenb
//                                     -cstopb -crtscts raw`, 2400 as `stty 2400 cs7 parenb
//                                     -parodd -cstopb crtscts ixon ixoff`
//   record GADGET FROM BYTES          once the chip of a gadget (vm/ChipGadget.cpp) has had BYTES
//                                     bytes from the host in all, its record from offset FROM on
//   unplug GADGET | plug GADGET       unbinds the gadget from its USB controller, binds it again
//   pairs FILE COM N                  an input file: COM, then N pairs (servo i%8, position
//                                     i*7%255)
//   quit                              the host has no more to ask: the runner ends, and the
//                                     machine powers off
// A LINE is one of the names in kFixedLines and kUsbLines: the host's tests know the machine's
// lines by them.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "vm/ConsoleWords.h"
#include "vm/GuestFile.h"

namespace {

std::string ReadFile(const std::string& sPath) {
    std::ifstream file(sPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// One program started by "start".
struct CSession {
    pid_t pid = -1;
    int in = -1;  // its standard input
    std::string sOut, sErr;
};

// The machine's lines: its console (its first UART, as QEMU wires it), the second UART, two UART
// slots the kernel keeps with no chip behind them, and a device that is not there, as COM9 would
// be.
const std::map<std::string, std::string> kFixedLines = {{"console", "/dev/ttyS0"},
                                                        {"uart", "/dev/ttyS1"},
                                                        {"empty1", "/dev/ttyS2"},
                                                        {"empty2", "/dev/ttyS3"},
                                                        {"com9", "/dev/ttyS8"}};

// Its USB lines, found by the driver that has them, as the kernel numbers them in the order they
// come up: QEMU's FTDI adapter, the chips of vm/ChipGadget.cpp, and the two ports of its CDC ACM
// device, by interface. Each with the gadget that plays it.
struct CUsbLine {
    const char* pszDriver;     // under /sys/bus
    const char* pszInterface;  // the end of a cdc_acm interface's name; none for usb-serial
    const char* pszGadget;
};
const std::map<std::string, CUsbLine> kUsbLines = {
    {"adapter", {"usb-serial/drivers/ftdi_sio", "", ""}},
    {"ch340", {"usb-serial/drivers/ch341-uart", "", "ch340"}},
    {"cp2102", {"usb-serial/drivers/cp210x", "", "cp2102"}},
    {"pl2303", {"usb-serial/drivers/pl2303", "", "pl2303"}},
    {"acm", {"usb/drivers/cdc_acm", ":1.0", "acm"}},
    {"acm-if02", {"usb/drivers/cdc_acm", ":1.2", "acm"}}};

const std::string kGadgets = "/sys/kernel/config/usb_gadget/";

std::vector<std::string> Names(const std::string& sDir) {
    std::vector<std::string> names;
    if (DIR* pDir = ::opendir(sDir.c_str())) {
        while (const dirent* pEntry = ::readdir(pDir))
            if (pEntry->d_name[0] != '.') names.emplace_back(pEntry->d_name);
        ::closedir(pDir);
    }
    return names;
}

// The device of a line as things are now, empty when it is not there; false for no such line.
bool FindLine(const std::string& sLine, std::string* pDevice) {
    pDevice->clear();
    const auto fixed = kFixedLines.find(sLine);
    if (fixed != kFixedLines.end()) *pDevice = fixed->second;
    const auto usb = kUsbLines.find(sLine);
    if (usb == kUsbLines.end()) return fixed != kFixedLines.end();
    const std::string sDir = std::string("/sys/bus/") + usb->second.pszDriver;
    const std::string sEnd = usb->second.pszInterface;
    for (const std::string& sName : Names(sDir)) {
        if (sEnd.empty()) {
            if (sName.rfind("ttyUSB", 0) == 0) *pDevice = "/dev/" + sName;  // a usb-serial port
        } else if (sName.size() > sEnd.size() &&
                   sName.compare(sName.size() - sEnd.size(), sEnd.size(), sEnd) == 0) {
            for (const std::string& sTty : Names(sDir + "/" + sName + "/tty"))
                *pDevice = "/dev/" + sTty;  // cdc_acm's tty on its interface
        }
    }
    return true;
}

bool IsGadget(const std::string& sGadget) {
    for (const auto& line : kUsbLines)
        if (!sGadget.empty() && sGadget == line.second.pszGadget) return true;
    return false;
}

class CRunner {
public:
    // Answers one command; false at "quit".
    bool Do(const std::string& sLine) {
        std::istringstream words(sLine);
        std::vector<std::string> args;
        for (std::string s; words >> s;) args.push_back(PlxFromConsoleWord(s));
        if (args.size() < 2) return true;
        m_sId = args[0];
        const std::string sVerb = args[1];
        args.erase(args.begin(), args.begin() + 2);
        const bool bGoOn = sVerb != "quit";
        const std::string sError = Run(sVerb, args);
        if (!sError.empty()) Say("error", sError);
        std::cout << '@' << m_sId << " done" << std::endl;
        return bGoOn;
    }

private:
    void Say(const std::string& sKey, const std::string& sValue) {
        std::cout << '@' << m_sId << ' ' << sKey << ' ' << PlxConsoleWord(sValue) << '\n';
    }

    std::string Run(const std::string& sVerb, const std::vector<std::string>& a) {
        const auto n = a.size();
        if (sVerb == "start" && n == 5) return Start(a[0], a[1], a[2], a[3], a[4]);
        if (sVerb == "type" && n == 2) return Type(a[0], a[1]);
        if (sVerb == "close" && n == 1) return Close(a[0]);
        if (sVerb == "signal" && n == 2) return Signal(a[0], std::atoi(a[1].c_str()));
        if (sVerb == "wait" && n == 1) return Wait(a[0]);
        if (sVerb == "pairs" && n == 3) return Pairs(a[0], a[1], std::atoi(a[2].c_str()));
        if (sVerb == "quit" && n == 0) return std::string();
        if (sVerb == "lines" && n == 0) {
            std::string sDevice;
            for (const auto& line : kFixedLines) Say(line.first, line.second);
            for (const auto& line : kUsbLines)
                Say(line.first, FindLine(line.first, &sDevice) ? sDevice : "");
            return std::string();
        }
        if (sVerb == "record" || sVerb == "unplug" || sVerb == "plug") {
            if (n == 0 || !IsGadget(a[0])) return "no gadget of this machine named for " + sVerb;
            if (sVerb == "record" && n == 3)
                return Record(a[0], std::strtoul(a[1].c_str(), nullptr, 10),
                              std::strtoul(a[2].c_str(), nullptr, 10));
            if (sVerb == "unplug" && n == 1) return Unplug(a[0]);
            if (sVerb == "plug" && n == 1) return Plug(a[0]);
        }
        // The rest name a line: the first argument, or for map the second.
        const std::size_t nLine = sVerb == "map" ? 1 : 0;
        std::string sDevice;
        if (n <= nLine || !FindLine(a[nLine], &sDevice))
            return "no line of this machine named for " + sVerb;
        if ((sVerb == "present" || sVerb == "gone") && n == 1)
            return Await(a[0], sVerb == "present");
        if (sDevice.empty()) return a[nLine] + " is not there";
        if (sVerb == "line" && n == 1) return Line(sDevice);
        if (sVerb == "stty" && n == 2) return Stty(sDevice, a[1]);
        if (sVerb == "map" && n == 2) return Map(a[0], sDevice);
        if (sVerb == "own" && n == 4) return Own(sDevice, a[1], a[2], a[3]);
        return "unknown command " + sVerb + " with " + std::to_string(n) + " arguments";
    }

    std::string Start(const std::string& sName, const std::string& sUid, const std::string& sGid,
                      const std::string& sGroups, const std::string& sInput) {
        const int nUid = std::atoi(sUid.c_str());
        const int nGid = std::atoi(sGid.c_str());
        std::vector<gid_t> groups;
        std::istringstream list(sGroups == "-" ? "" : sGroups);
        for (std::string s; std::getline(list, s, ',');) groups.push_back(std::atoi(s.c_str()));
        const std::string sHome = nUid == 0 ? "/root" : "/tmp/home-" + sUid;
        ::mkdir(sHome.c_str(), 0755);
        if (::chown(sHome.c_str(), nUid, nGid) != 0) return "chown " + sHome;
        const bool bFile = !sInput.empty() && sInput[0] == '@';
        int fds[2];
        if (!bFile && ::pipe(fds) != 0) return "pipe: " + std::string(std::strerror(errno));
        CSession session;
        session.sOut = "/tmp/" + sName + ".out";
        session.sErr = "/tmp/" + sName + ".err";
        session.pid = ::fork();
        if (session.pid == 0) {
            const int in = bFile ? ::open(sInput.c_str() + 1, O_RDONLY) : fds[0];
            ::dup2(in, 0);
            ::dup2(::open(session.sOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            ::dup2(::open(session.sErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (!bFile) ::close(fds[1]);
            ::setenv("HOME", sHome.c_str(), 1);
            if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(nGid) != 0 ||
                ::setuid(nUid) != 0)
                ::_exit(126);
            ::execl("/bin/plx-ssc-test", "plx-ssc-test", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (!bFile) {
            ::close(fds[0]);
            session.in = fds[1];
        }
        m_sessions[sName] = session;
        Say("pid", std::to_string(session.pid));
        return bFile ? std::string() : Type(sName, sInput);
    }

    std::string Type(const std::string& sName, const std::string& sText) {
        const auto it = m_sessions.find(sName);
        if (it == m_sessions.end() || it->second.in < 0) return "no input to " + sName;
        for (std::size_t nDone = 0; nDone < sText.size();) {
            const ssize_t n = ::write(it->second.in, sText.data() + nDone, sText.size() - nDone);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return "write: " + std::string(std::strerror(errno));
            nDone += static_cast<std::size_t>(n);
        }
        return std::string();
    }

    std::string Close(const std::string& sName) {
        const auto it = m_sessions.find(sName);
        if (it == m_sessions.end()) return "no session " + sName;
        if (it->second.in >= 0) ::close(it->second.in);
        it->second.in = -1;
        return std::string();
    }

    std::string Signal(const std::string& sName, int nSignal) {
        const auto it = m_sessions.find(sName);
        if (it == m_sessions.end() || ::kill(it->second.pid, nSignal) != 0) return "cannot signal";
        return std::string();
    }

    std::string Wait(const std::string& sName) {
        const auto it = m_sessions.find(sName);
        if (it == m_sessions.end()) return "no session " + sName;
        Close(sName);
        int nStatus = 0;
        while (::waitpid(it->second.pid, &nStatus, 0) < 0 && errno == EINTR) {
        }
        Say("status", WIFEXITED(nStatus) ? std::to_string(WEXITSTATUS(nStatus))
                                         : "signal " + std::to_string(WTERMSIG(nStatus)));
        Say("out", ReadFile(it->second.sOut));
        Say("err", ReadFile(it->second.sErr));
        m_sessions.erase(it);
        return std::string();
    }

    std::string Line(const std::string& sDevice) {
        const int fd = ::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return sDevice + ": " + std::strerror(errno);
        termios tio{};
        int nExclusive = -1;
        const bool bOk = ::tcgetattr(fd, &tio) == 0 && ::ioctl(fd, TIOCGEXCL, &nExclusive) == 0;
        ::close(fd);
        if (!bOk) return sDevice + ": " + std::strerror(errno);
        const std::map<speed_t, int> kSpeeds = {{B1200, 1200},   {B2400, 2400},    {B4800, 4800},
                                                {B9600, 9600},   {B19200, 19200},  {B38400, 38400},
                                                {B57600, 57600}, {B115200, 115200}};
        auto Speed = [&](speed_t s) {
            const auto found = kSpeeds.find(s);
            return found == kSpeeds.end() ? std::string("other") : std::to_string(found->second);
        };
        const int kBits[] = {5, 6, 7, 8};
        Say("ispeed", Speed(cfgetispeed(&tio)));
        Say("ospeed", Speed(cfgetospeed(&tio)));
        Say("data", std::to_string(kBits[(tio.c_cflag & CSIZE) >> 4]));
        Say("parity", (tio.c_cflag & PARENB) == 0 ? "N" : (tio.c_cflag & PARODD) ? "O" : "E");
        Say("stop", (tio.c_cflag & CSTOPB) ? "2" : "1");
        auto Flags = [&](const std::vector<std::pair<const char*, bool>>& flags) {
            std::string s;
            for (const auto& flag : flags)
                if (flag.second) s += std::string(s.empty() ? "" : " ") + flag.first;
            return s.empty() ? std::string("none") : s;
        };
        Say("flow", Flags({{"crtscts", (tio.c_cflag & CRTSCTS) != 0},
                           {"ixon", (tio.c_iflag & IXON) != 0},
                           {"ixoff", (tio.c_iflag & IXOFF) != 0}}));
        Say("cooked", Flags({{"icanon", (tio.c_lflag & ICANON) != 0},
                             {"echo", (tio.c_lflag & ECHO) != 0},
                             {"isig", (tio.c_lflag & ISIG) != 0},
                             {"iexten", (tio.c_lflag & IEXTEN) != 0},
                             {"opost", (tio.c_oflag & OPOST) != 0},
                             {"icrnl", (tio.c_iflag & ICRNL) != 0},
                             {"inlcr", (tio.c_iflag & INLCR) != 0},
                             {"igncr", (tio.c_iflag & IGNCR) != 0},
                             {"istrip", (tio.c_iflag & ISTRIP) != 0}}));
        Say("vmin", std::to_string(tio.c_cc[VMIN]));
        Say("vtime", std::to_string(tio.c_cc[VTIME]));
        Say("exclusive", std::to_string(nExclusive));
        Say("settings", std::string(reinterpret_cast<const char*>(&tio), sizeof(tio)));
        return std::string();
    }

    // Whether the host has sent its next command: it has given up on this one (its test failed),
    // so that a wait for what may now never come ends.
    static bool HostMovedOn() {
        pollfd pfd = {0, POLLIN, 0};
        return ::poll(&pfd, 1, 0) > 0;
    }

    // The kernel adds and removes the device node as the adapter comes and goes. A chip that
    // could not be made says why in its record, which ends the wait.
    static std::string Await(const std::string& sLine, bool bPresent) {
        const auto usb = kUsbLines.find(sLine);
        const std::string sGadget = usb == kUsbLines.end() ? "" : usb->second.pszGadget;
        for (;;) {
            std::string sDevice;
            FindLine(sLine, &sDevice);
            struct stat st;
            if ((!sDevice.empty() && ::stat(sDevice.c_str(), &st) == 0) == bPresent)
                return std::string();
            const std::string sRecord =
                sGadget.empty() ? "" : ReadFile("/tmp/" + sGadget + ".record");
            const std::size_t nError = sRecord.find("error ");
            if (bPresent && nError != std::string::npos)
                return sGadget + ": " + sRecord.substr(nError, sRecord.find('\n', nError) - nError);
            if (HostMovedOn()) return "the host moved on";
            ::usleep(10000);
        }
    }

    // As another program would leave the line (2400), or as stty sets 9600 8N1 raw (9600).
    static std::string Stty(const std::string& sDevice, const std::string& sBaud) {
        const CGuestFile tty(::open(sDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        termios tio{};
        if (tty.Get() < 0 || ::tcgetattr(tty.Get(), &tio) != 0)
            return sDevice + ": " + std::strerror(errno);
        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        if (sBaud == "9600") {
            ::cfmakeraw(&tio);
            tio.c_cflag |= CS8;
            ::cfsetspeed(&tio, B9600);
        } else if (sBaud == "2400") {
            tio.c_cflag |= CS7 | PARENB | CRTSCTS;
            tio.c_iflag |= IXON | IXOFF;
            ::cfsetspeed(&tio, B2400);
        } else {
            return "no stty for " + sBaud;
        }
        if (::tcsetattr(tty.Get(), TCSANOW, &tio) != 0)
            return sDevice + ": " + std::strerror(errno);
        return std::string();
    }

    // Counts the bytes in the record's "out" lines until there are nBytes.
    std::string Record(const std::string& sGadget, std::size_t nFrom, std::size_t nBytes) {
        for (;;) {
            const std::string sRecord = ReadFile("/tmp/" + sGadget + ".record");
            std::size_t nOut = 0;
            std::istringstream lines(sRecord);
            for (std::string s; std::getline(lines, s);)
                if (s.rfind("out ", 0) == 0) nOut += (s.size() - 4) / 2;
            if (nOut >= nBytes) {
                Say("record", sRecord.substr(std::min(nFrom, sRecord.size())));
                return std::string();
            }
            if (HostMovedOn()) return "the host moved on";
            ::usleep(10000);
        }
    }

    // As the cable is pulled: the host sees the device go. The controller is kept for plug.
    std::string Unplug(const std::string& sGadget) {
        const std::string sUdc = ReadFile(kGadgets + sGadget + "/UDC");
        m_udcs[sGadget] = sUdc.substr(0, sUdc.find('\n'));
        return PlxPutFile(kGadgets + sGadget + "/UDC", "\n") ? std::string() : "cannot unbind";
    }

    std::string Plug(const std::string& sGadget) {
        return PlxPutFile(kGadgets + sGadget + "/UDC", m_udcs[sGadget]) ? std::string()
                                                                        : "cannot bind";
    }

    static std::string Map(const std::string& sPort, const std::string& sTarget) {
        for (const char* pszDir : {"/root/.config", "/root/.config/plx", "/root/.config/plx/ports"})
            ::mkdir(pszDir, 0755);
        const std::string sEntry = "/root/.config/plx/ports/com" + sPort;
        ::unlink(sEntry.c_str());
        return ::symlink(sTarget.c_str(), sEntry.c_str()) == 0 ? std::string() : "symlink";
    }

    static std::string Own(const std::string& sDevice, const std::string& sUid,
                           const std::string& sGid, const std::string& sMode) {
        if (::chown(sDevice.c_str(), std::atoi(sUid.c_str()), std::atoi(sGid.c_str())) != 0 ||
            ::chmod(sDevice.c_str(), std::strtol(sMode.c_str(), nullptr, 8)) != 0)
            return sDevice + ": " + std::strerror(errno);
        return std::string();
    }

    static std::string Pairs(const std::string& sFile, const std::string& sCom, int nPairs) {
        std::ofstream file(sFile);
        file << sCom << '\n';
        for (int i = 0; i < nPairs; ++i) file << i % 8 << ' ' << i * 7 % 255 << '\n';
        return file ? std::string() : "cannot write " + sFile;
    }

    std::string m_sId;
    std::map<std::string, CSession> m_sessions;
    std::map<std::string, std::string> m_udcs;  // by gadget, while unplugged
};

}  // namespace

int main() {
    // The console as a line reader with no echo and no output processing, so that what the host
    // reads is exactly what is said.
    termios tio;
    if (::tcgetattr(0, &tio) == 0) {
        tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        ::tcsetattr(0, TCSANOW, &tio);
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::cout << "@boot done" << std::endl;
    CRunner runner;
    for (std::string sLine; std::getline(std::cin, sLine);) {
        if (!runner.Do(sLine)) break;
    }
    return 0;
}

// CCommPort against pseudo-terminals mapped as COM ports, and the Linux layer beneath it: the
// write, the port map, the guard against terminals in use and the port finder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "serial/CommApi.h"
#include "serial/CommPort.h"
#include "serial/PortFinder.h"
#include "serial/PortMap.h"
#include "serial/TerminalGuard.h"
#include "tests/TestSupport.h"

namespace {

// The descriptor this process holds on sPath, other than the test's own.
int PortDescriptor(const std::string& sPath, int nOwn) {
    for (int fd : OpenDescriptors()) {
        char szTarget[256];
        const std::string sLink = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(sLink.c_str(), szTarget, sizeof(szTarget));
        if (fd != nOwn && n > 0 && std::string(szTarget, static_cast<std::size_t>(n)) == sPath)
            return fd;
    }
    return -1;
}

bool Exclusive(int fd) {
    int nExclusive = 0;
    return ::ioctl(fd, TIOCGEXCL, &nExclusive) == 0 && nExclusive != 0;
}

class CommPortTest : public ::testing::Test {
protected:
    // Runs Open with standard error captured; the report goes there.
    bool OpenCapturing(CCommPort& port, std::string* pReport) {
        CStderrCapture capture;
        const bool bOpened = port.Open();
        *pReport = capture.Text();
        return bOpened;
    }

    void ExpectReport(const std::string& sReport, std::int32_t nPort, const std::string& sText) {
        EXPECT_NE(sReport.find("Windows Communications Error"), std::string::npos) << sReport;
        EXPECT_NE(sReport.find("communication port " + std::to_string(nPort) + ":"),
                  std::string::npos)
            << sReport;
        EXPECT_NE(sReport.find("        " + sText), std::string::npos) << sReport;
        EXPECT_NE(sReport.find("Resolve the error and restart PLX."), std::string::npos);
        EXPECT_NE(sReport.find("[ OK ]"), std::string::npos);
    }

    CPortMap m_map;
    CPseudoTerminal m_pty;
};

TEST_F(CommPortTest, SetsTheLineToNineSixHundredEightNOneRaw) {
    // Start from a line set up for something else: cooked, slow, with flow control.
    termios before;
    ASSERT_EQ(tcgetattr(m_pty.Slave(), &before), 0);
    cfsetospeed(&before, B4800);
    cfsetispeed(&before, B4800);
    before.c_cflag |= CSTOPB | HUPCL;
    before.c_iflag |= IXON | IXOFF | ICRNL;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    ASSERT_EQ(tcsetattr(m_pty.Slave(), TCSANOW, &before), 0);

    // Output an earlier program suspended, which stays so while anything holds the line.
    ASSERT_EQ(tcflow(m_pty.Slave(), TCOOFF), 0);

    m_map.Map(4, m_pty.SlavePath());
    CCommPort port(4, 9600);
    std::string sReport;
    ASSERT_TRUE(OpenCapturing(port, &sReport)) << sReport;
    EXPECT_EQ(sReport, "");
    // Output flows: a byte goes out at once (a suspended line would take none, and the port's
    // first write would wait for ever).
    const int nFlags = ::fcntl(m_pty.Slave(), F_GETFL);
    ASSERT_EQ(::fcntl(m_pty.Slave(), F_SETFL, nFlags | O_NONBLOCK), 0);
    ASSERT_EQ(::write(m_pty.Slave(), "x", 1), 1) << std::strerror(errno);
    ::fcntl(m_pty.Slave(), F_SETFL, nFlags);

    // On Linux the master reports the slave's settings.
    termios tio;
    ASSERT_EQ(tcgetattr(m_pty.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 2);                                 // 200 ms
    EXPECT_EQ(tio.c_cflag & HUPCL, static_cast<tcflag_t>(HUPCL));  // not the line's business

    // Writes block once the line is set up: the port's descriptor is no longer non-blocking.
    const int fd = PortDescriptor(m_pty.SlavePath(), m_pty.Slave());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(CommPortTest, WritesEveryByteUnchanged) {
    // Output processing on beforehand: the port must turn it off, or 0x0A would go out as CR LF.
    termios before;
    ASSERT_EQ(tcgetattr(m_pty.Slave(), &before), 0);
    before.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(m_pty.Slave(), TCSANOW, &before), 0);

    m_map.Map(2, m_pty.SlavePath());
    CCommPort port(2, 9600);
    std::string sReport;
    ASSERT_TRUE(OpenCapturing(port, &sReport)) << sReport;
    const std::vector<std::uint8_t> sent =
        Bytes({0xFF, 0x0A, 0x0D, 0xFF, 0x11, 0x13, 0xFF, 0x03, 0x00, 0x7F, 0x04, 0x1A});
    EXPECT_EQ(port.Write(sent.data(), 3), 3u);
    EXPECT_EQ(port.Write(sent.data() + 3, 3), 3u);
    EXPECT_EQ(port.Write(sent.data() + 6, 6), 6u);
    EXPECT_EQ(m_pty.Written(), sent);
}

// Only here: Wine lets a second program open a COM port that another holds with share mode 0,
// where Windows refuses it, so the Windows build's exclusive access cannot be tested under Wine.
TEST_F(CommPortTest, HoldsThePortAloneAndReleasesIt) {
    m_map.Map(3, m_pty.SlavePath());
    {
        CCommPort first(3, 9600);
        std::string sReport;
        ASSERT_TRUE(OpenCapturing(first, &sReport)) << sReport;
        EXPECT_TRUE(Exclusive(m_pty.Slave()));  // programs without flock are kept out too

        CCommPort second(3, 9600);
        EXPECT_FALSE(OpenCapturing(second, &sReport));
        ExpectReport(sReport, 3, "Device or resource busy");
    }
    EXPECT_FALSE(Exclusive(m_pty.Slave()));
    CCommPort again(3, 9600);
    std::string sReport;
    EXPECT_TRUE(OpenCapturing(again, &sReport)) << sReport;
}

TEST_F(CommPortTest, APortAnotherProgramHoldsIsBusy) {
    m_map.Map(6, m_pty.SlavePath());
    CFd other(::open(m_pty.SlavePath().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    const std::vector<int> fdsBefore = OpenDescriptors();
    CCommPort port(6, 9600);
    std::string sReport;
    EXPECT_FALSE(OpenCapturing(port, &sReport));
    ExpectReport(sReport, 6, "Device or resource busy");
    EXPECT_EQ(OpenDescriptors(), fdsBefore);  // nothing kept from the attempt
}

TEST_F(CommPortTest, AMissingDeviceNamesThePortNumber) {
    m_map.Map(9, "/nonexistent/plx-no-such-device");
    for (std::int32_t nPort : {9, 0, -1}) {
        CCommPort port(nPort, 9600);
        std::string sReport;
        EXPECT_FALSE(OpenCapturing(port, &sReport));
        ExpectReport(sReport, nPort, "No such file or directory");
    }
}

TEST_F(CommPortTest, SomethingThatIsNotASerialLineIsRefused) {
    const std::string sFile = m_map.ConfigHome() + "/not-a-port";
    std::ofstream(sFile) << "text";
    m_map.Map(8, sFile);
    const std::vector<int> fdsBefore = OpenDescriptors();
    {
        CCommPort port(8, 9600);
        std::string sReport;
        EXPECT_FALSE(OpenCapturing(port, &sReport));
        ExpectReport(sReport, 8, "Inappropriate ioctl for device");
        EXPECT_EQ(OpenDescriptors(), fdsBefore);
    }
    EXPECT_EQ(ReadFileText(sFile), "text");  // and nothing was written to it
}

TEST_F(CommPortTest, ASpeedTheLineCannotTakeIsRefused) {
    m_map.Map(5, m_pty.SlavePath());
    for (std::int32_t nBaud : {0, -9600, 12345}) {
        CCommPort port(5, nBaud);
        std::string sReport;
        EXPECT_FALSE(OpenCapturing(port, &sReport)) << nBaud;
        ExpectReport(sReport, 5, "Invalid argument");
    }
    CCommPort port(5, 9600);  // and the port was left free each time
    std::string sReport;
    EXPECT_TRUE(OpenCapturing(port, &sReport)) << sReport;
}

TEST_F(CommPortTest, SettingsThatDoNotReadBackAsSetFail) {
    // A pseudo-terminal always carries 8 bits without parity: 7E1 cannot hold on it.
    m_map.Map(5, m_pty.SlavePath());
    const HCOMM hComm = PlxCreateFile("COM5");
    ASSERT_NE(hComm, HCOMM_INVALID);
    CCommState state;
    ASSERT_TRUE(PlxGetCommState(hComm, &state));
    CCommTimeouts timeouts;
    ASSERT_TRUE(
        PlxBuildCommDCBAndTimeouts("COM5: baud=9600 parity=E data=7 stop=1", &state, &timeouts));
    EXPECT_FALSE(PlxSetCommState(hComm, state));
    EXPECT_EQ(PlxGetLastError(), ENOTSUP);
    EXPECT_EQ(PlxFormatMessage(ENOTSUP), "Operation not supported");
    EXPECT_TRUE(PlxCloseHandle(hComm));
}

TEST_F(CommPortTest, DestroyingAPortThatNeverOpenedReleasesNothing) {
    const std::vector<int> fdsBefore = OpenDescriptors();
    { CCommPort neverOpened(1, 9600); }
    {
        CCommPort failed(-7, 9600);
        std::string sReport;
        EXPECT_FALSE(OpenCapturing(failed, &sReport));
    }
    EXPECT_EQ(OpenDescriptors(), fdsBefore);
    EXPECT_EQ(::fcntl(STDIN_FILENO, F_GETFD), 0);
}

void Ignore(int) {}

TEST(PlatformWrite, DeliversEverythingThroughSignalsAndShortWrites) {
    // A pipe much smaller than the data, drained slowly, while a timer interrupts the writer
    // every millisecond without restarting it: write() returns short counts and EINTR.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    CFd readEnd(fds[0]), writeEnd(fds[1]);
    ::fcntl(writeEnd.Get(), F_SETPIPE_SZ, 4096);
    std::vector<std::uint8_t> data(1 << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        std::uint8_t buf[1000];
        for (ssize_t n; (n = ::read(readEnd.Get(), buf, sizeof(buf))) != 0;) {
            if (n > 0) received.insert(received.end(), buf, buf + n);
        }
    });
    struct sigaction action = {};
    action.sa_handler = Ignore;  // no SA_RESTART
    ::sigaction(SIGALRM, &action, nullptr);
    itimerval timer = {{0, 1000}, {0, 1000}}, stopped = {};
    ::setitimer(ITIMER_REAL, &timer, nullptr);
    std::uint32_t nWritten = 0;
    const bool bOk = PlxWriteFile(writeEnd.Get(), data.data(),
                                  static_cast<std::uint32_t>(data.size()), &nWritten);
    ::setitimer(ITIMER_REAL, &stopped, nullptr);
    // Ignored from here on rather than restored: under valgrind a last tick can arrive after the
    // timer stops, and its default action would end the test process.
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGALRM, &action, nullptr);
    writeEnd.Reset();
    reader.join();
    EXPECT_TRUE(bOk);
    EXPECT_EQ(nWritten, data.size());
    EXPECT_TRUE(received == data);
}

TEST(PlatformWrite, ReportsWhatWentOutWhenTheOtherEndIsGone) {
    CPseudoTerminal pty;
    const std::uint8_t packet[3] = {0xFF, 1, 2};
    std::uint32_t nWritten = 99;
    pty.CloseMaster();
    EXPECT_FALSE(PlxWriteFile(pty.Slave(), packet, 3, &nWritten));
    EXPECT_EQ(nWritten, 0u);
    EXPECT_EQ(PlxGetLastError(), EIO);
}

TEST(PortMap, FollowsTheMapThenTheSerialDevices) {
    CPortMap map;
    map.Map(1, "/dev/ttyUSB7");
    std::string sPath;
    int nError = 0;
    bool bMapped = false;
    ASSERT_TRUE(PlxResolveComPort(1, &sPath, &nError, &bMapped));
    EXPECT_EQ(sPath, map.Directory() + "/com1");
    EXPECT_TRUE(bMapped);
    // Only resolved, never opened: no test touches the machine's own serial ports.
    ASSERT_TRUE(PlxResolveComPort(12, &sPath, &nError, &bMapped));
    EXPECT_EQ(sPath, std::string(PLX_SERIAL_DEVICE_PREFIX) + "11");
    EXPECT_FALSE(bMapped);
    EXPECT_FALSE(PlxResolveComPort(0, &sPath, &nError));
    EXPECT_EQ(nError, ENOENT);
    EXPECT_FALSE(PlxResolveComPort(-3, &sPath, &nError));

    // Names in any case, as on Windows; two that agree are one entry, two that do not are an
    // error, never a guess. "com01" is not what COM1 is called.
    const std::string sDir = map.Directory();
    ASSERT_EQ(::symlink("/dev/ttyUSB2", (sDir + "/COM2").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/ttyUSB3", (sDir + "/Com3").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/ttyUSB3", (sDir + "/com3").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/ttyUSB4", (sDir + "/com4").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/ttyACM0", (sDir + "/COM4").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/ttyUSB5", (sDir + "/com05").c_str()), 0);
    ASSERT_TRUE(PlxResolveComPort(2, &sPath, &nError));
    EXPECT_EQ(sPath, sDir + "/COM2");
    ASSERT_TRUE(PlxResolveComPort(3, &sPath, &nError));
    EXPECT_FALSE(PlxResolveComPort(4, &sPath, &nError));
    EXPECT_EQ(nError, ENOTUNIQ);
    ASSERT_TRUE(PlxResolveComPort(5, &sPath, &nError, &bMapped));
    EXPECT_FALSE(bMapped);

    // A map path that is there but no folder fails loudly; only a missing one falls back.
    const std::string sFile = map.ConfigHome() + "/file";
    std::ofstream(sFile) << "not a folder";
    ::setenv("XDG_CONFIG_HOME", sFile.c_str(), 1);  // restored by map
    EXPECT_FALSE(PlxResolveComPort(1, &sPath, &nError));
    EXPECT_EQ(nError, ENOTDIR);
    ::setenv("XDG_CONFIG_HOME", (map.ConfigHome() + "/none").c_str(), 1);
    ASSERT_TRUE(PlxResolveComPort(1, &sPath, &nError, &bMapped));
    EXPECT_FALSE(bMapped);
    // A link on the way that leads nowhere (an unmounted disk) or into a loop is no missing map:
    // the map itself, a folder on the way, XDG_CONFIG_HOME itself.
    const std::string sConfig = map.ConfigHome();
    std::filesystem::create_directories(sConfig + "/a/plx");
    ASSERT_EQ(::symlink("/nonexistent/media/ports", (sConfig + "/a/plx/ports").c_str()), 0);
    ASSERT_EQ(::mkdir((sConfig + "/b").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("plx", (sConfig + "/b/plx").c_str()), 0);
    ASSERT_EQ(::symlink("/nonexistent/config", (sConfig + "/c").c_str()), 0);
    for (const auto& broken :
         std::vector<std::pair<std::string, int>>{{"/a", ENOENT}, {"/b", ELOOP}, {"/c", ENOENT}}) {
        ::setenv("XDG_CONFIG_HOME", (sConfig + broken.first).c_str(), 1);
        EXPECT_FALSE(PlxResolveComPort(2, &sPath, &nError)) << broken.first << " gave " << sPath;
        EXPECT_EQ(nError, broken.second) << broken.first;
    }

    std::int32_t nPort = 0;
    EXPECT_TRUE(PlxParsePortName("COM-12", &nPort));
    EXPECT_EQ(nPort, -12);
    for (const char* pszName : {"COM", "COM+1", "COM 1", "COM1x", "com1", "LPT1", "COM99999999999"})
        EXPECT_FALSE(PlxParsePortName(pszName, &nPort)) << pszName;
}

TEST(PortMap, ComesFromXdgConfigHomeOrHome) {
    CPortMap map;  // restores XDG_CONFIG_HOME afterwards
    const char* pszHome = std::getenv("HOME");
    const std::string sHome = pszHome ? pszHome : "";
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(PlxPortMapDirectory(), "/cfg/plx/ports");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(PlxPortMapDirectory(), "/home/someone/.config/plx/ports");
    ::unsetenv("HOME");
    EXPECT_EQ(PlxPortMapDirectory(), "");
    // Said so, rather than asked to set what is set.
    EXPECT_EQ(PlxWhyNoPortMap(),
              "XDG_CONFIG_HOME=relative is ignored, as only an absolute path counts: set HOME or "
              "XDG_CONFIG_HOME to one");
    ::setenv("HOME", "~", 1);
    EXPECT_EQ(PlxWhyNoPortMap().rfind("XDG_CONFIG_HOME=relative and HOME=~ are ignored", 0), 0u);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    EXPECT_EQ(PlxWhyNoPortMap(), "set HOME or XDG_CONFIG_HOME");
    if (pszHome) ::setenv("HOME", sHome.c_str(), 1);
}

}  // namespace

namespace {

// A pseudo-terminal with a session on it, as a login shell or a serial getty has.
struct CSessionTerminal {
    CPseudoTerminal m_pty;
    CChildProgram m_session{[](const void* pPath) {
                                return ::setsid() >
                                           0 &&  // the first terminal it opens becomes its own
                                       ::open(static_cast<const char*>(pPath), O_RDWR) >= 0;
                            },
                            m_pty.SlavePath().c_str()};
};

TEST_F(CommPortTest, TerminalsInUseAndTerminalDevicesAreRefusedUntouched) {
    CSessionTerminal session;
    ASSERT_TRUE(session.m_session.Ready());
    termios before;
    ASSERT_EQ(tcgetattr(session.m_pty.Master(), &before), 0);
    m_map.Map(3, session.m_pty.SlavePath());
    m_map.Map(4, "/dev/tty");
    m_map.Map(5, "/dev/ptmx");
    // A device of no terminal driver, where the open alone may have effects (a watchdog): never
    // opened. Root can make one of its own to watch; anyone else is shown /dev/null.
    std::string sNull = "/dev/null";
    if (::geteuid() == 0) {
        sNull = m_map.ConfigHome() + "/null";
        ASSERT_EQ(::mknod(sNull.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    CFd opens(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_GE(::inotify_add_watch(opens.Get(), sNull.c_str(), IN_OPEN), 0);
    m_map.Map(6, sNull);
    // A line another program gave a line discipline of its own, for a protocol the kernel runs.
    int nDiscipline = 27;  // N_NULL, which the C library does not name
    const bool bDiscipline = ::ioctl(m_pty.Slave(), TIOCSETD, &nDiscipline) == 0;
    m_map.Map(7, m_pty.SlavePath());
    const std::vector<int> fdsBefore = OpenDescriptors();
    for (const auto& refused :
         std::vector<std::pair<int, std::string>>{{3, "Device or resource busy"},
                                                  {4, "Device or resource busy"},
                                                  {5, "Inappropriate ioctl for device"},
                                                  {6, "Inappropriate ioctl for device"},
                                                  {7, "Device or resource busy"}}) {
        if (refused.first == 7 && !bDiscipline) break;
        CCommPort port(refused.first, 9600);
        std::string sReport;
        EXPECT_FALSE(OpenCapturing(port, &sReport));
        ExpectReport(sReport, refused.first, refused.second);
        EXPECT_EQ(OpenDescriptors(), fdsBefore);
        const std::string sCom = "COM" + std::to_string(refused.first);
        const std::string sTarget = refused.first == 6 ? sNull : m_pty.SlavePath();
        const std::string sWhy =
            refused.first == 6 ? ", which is not a serial port.\n"
                               : ", on which another program runs the line discipline n_null, "
                                 "not a terminal's: not a port for servos.\n";
        if (refused.first >= 6) {
            EXPECT_NE(sReport.find(sCom + " is " + m_map.Directory() + "/com" +
                                   std::to_string(refused.first) + " -> " + sTarget + sWhy),
                      std::string::npos)
                << sReport;
        }
    }
    char event[sizeof(inotify_event) + NAME_MAX + 1];
    EXPECT_LT(::read(opens.Get(), event, sizeof(event)), 0) << sNull << " was opened";
    if (bDiscipline) {
        EXPECT_FALSE(Exclusive(m_pty.Slave()));
        nDiscipline = N_TTY;
        EXPECT_EQ(::ioctl(m_pty.Slave(), TIOCSETD, &nDiscipline), 0);
    } else {
        std::cout << "[ NOTE ] no line discipline n_null here: not tried" << std::endl;
    }
    termios after;
    ASSERT_EQ(tcgetattr(session.m_pty.Master(), &after), 0);
    // Still the session's, as it was.
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof(before.c_cc)), 0);
    int nExclusive = 1;
    ASSERT_EQ(::ioctl(session.m_pty.Slave(), TIOCGEXCL, &nExclusive), 0);
    EXPECT_EQ(nExclusive, 0);

    // Only compared by number, never opened: the console, a virtual console, a session's tty.
    struct stat st;
    ASSERT_EQ(::stat(session.m_pty.SlavePath().c_str(), &st), 0);
    const CSystemRoots live;
    EXPECT_EQ(PlxCheckDeviceFree(makedev(5, 1), live).sWhy, "the system console");
    EXPECT_EQ(PlxCheckDeviceFree(makedev(4, 7), live).sWhy, "a virtual console");
    EXPECT_EQ(
        PlxCheckDeviceFree(st.st_rdev, live)
            .sWhy.rfind("the terminal of process " + std::to_string(session.m_session.Pid()) + " (",
                        0),
        0u);
    ASSERT_EQ(::stat(m_pty.SlavePath().c_str(), &st), 0);
    EXPECT_EQ(PlxCheckDeviceFree(st.st_rdev, live).nError, 0);  // a line nobody uses
}

// A small sysfs, /proc and /dev of the test's own.
class CFakeSystem {
public:
    CFakeSystem() {
        m_roots.sSys = m_dir.Path() + "/sys";
        m_roots.sProc = m_dir.Path() + "/proc";
        m_roots.sDev = m_dir.Path() + "/dev";
    }
    void Write(const std::string& sPath, const std::string& sText) {
        const std::string sFull = m_dir.Path() + "/" + sPath;
        std::filesystem::create_directories(std::filesystem::path(sFull).parent_path());
        std::ofstream(sFull) << sText;
    }
    void Link(const std::string& sPath, const std::string& sTarget) {
        const std::string sFull = m_dir.Path() + "/" + sPath;
        std::filesystem::create_directories(std::filesystem::path(sFull).parent_path());
        ASSERT_EQ(::symlink(sTarget.c_str(), sFull.c_str()), 0);
    }
    // A tty in class/tty with its device numbers and, when sDevice is given, its hardware.
    void Tty(const std::string& sName, const std::string& sNumbers, const std::string& sDevice) {
        Write("sys/class/tty/" + sName + "/dev", sNumbers + "\n");
        if (!sDevice.empty()) Link("sys/class/tty/" + sName + "/device", sDevice);
    }
    const CSystemRoots& Roots() const { return m_roots; }

private:
    CTempDir m_dir;
    CSystemRoots m_roots;
};

std::string Numbers(dev_t dev) {
    return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

TEST(TerminalGuard, ReadsConsolesAndControllingTerminalsAsTheKernelWritesThem) {
    CPseudoTerminal pty;
    struct stat st;
    ASSERT_EQ(::stat(pty.SlavePath().c_str(), &st), 0);
    CFakeSystem sys;
    EXPECT_EQ(PlxCheckDeviceFree(st.st_rdev, sys.Roots()).nError, 0);
    // /proc/consoles when sysfs has no list.
    sys.Write("proc/consoles",
              "ttyS0                -W- (EC  p a)    " + Numbers(st.st_rdev) + "\n");
    EXPECT_EQ(PlxCheckDeviceFree(st.st_rdev, sys.Roots()).sWhy, "the system console");
    sys.Write("sys/class/tty/console/active", "tty0 ttyFAKE1\n");
    sys.Tty("ttyFAKE1", "4:65", "");
    EXPECT_EQ(PlxCheckDeviceFree(st.st_rdev, sys.Roots()).nError, 0);  // sysfs first
    sys.Tty("ttyFAKE1", Numbers(st.st_rdev), "");
    EXPECT_EQ(PlxCheckDeviceFree(st.st_rdev, sys.Roots()).nError, EBUSY);
    EXPECT_EQ(PlxCheckDeviceFree(st.st_rdev, sys.Roots()).sWhy, "the system console");

    // A process whose name has spaces and parentheses, on pts 300: the minor number is split.
    const dev_t pts300 = makedev(136, 300);
    const unsigned nPacked = (300u & 0xFF) | (136u << 8) | ((300u & ~0xFFu) << 12);
    sys.Write("proc/4242/stat",
              "4242 (a) b (c) S 1 4242 4242 " + std::to_string(nPacked) + " 4242 4194560 0 0\n");
    sys.Write("proc/4243/stat", "4243 (idle) S 1 4243 4243 0 -1 4194560\n");
    EXPECT_EQ(PlxCheckDeviceFree(pts300, sys.Roots()).sWhy,
              "the terminal of process 4242 (a) b (c)");
    EXPECT_EQ(PlxCheckDeviceFree(makedev(136, 44), sys.Roots()).nError, 0);
}

TEST(TerminalGuard, ATerminalThatBecomesSomebodysWhileItIsOpenedIsLetGo) {
    CPseudoTerminal pty;
    struct stat st;
    ASSERT_EQ(::stat(pty.SlavePath().c_str(), &st), 0);
    // A process next to ours: the look before the open finds it without a terminal, the look
    // after it finds it on this one, as when a getty takes the line in between. The same device
    // all along.
    CFakeSystem sys;
    const std::string sPid = std::to_string(::getpid() + 1);
    sys.Write("proc/" + sPid + "/cmdline", "");
    const auto nMinor = static_cast<unsigned>(minor(st.st_rdev));
    const unsigned nPacked = (nMinor & 0xFF) | (major(st.st_rdev) << 8) | ((nMinor & ~0xFFu) << 12);
    CSystemRoots roots = sys.Roots();
    int nLooks = 0;
    roots.lookAtProcess = [&](const std::string& sLooked, std::string* pStat) {
        if (sLooked != sPid) return false;
        const std::string sTty = nLooks++ == 0 ? "0" : std::to_string(nPacked);
        *pStat = sPid + " (getty) S 1 " + sPid + " " + sPid + " " + sTty + " -1 0\n";
        return true;
    };
    const std::vector<int> fdsBefore = OpenDescriptors();
    const int fd = PlxOpenFreeDevice(pty.SlavePath(), roots);
    const int nError = errno;
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(nError, EBUSY);
    EXPECT_EQ(nLooks, 2);
    if (fd >= 0) ::close(fd);
    EXPECT_EQ(OpenDescriptors(), fdsBefore);
}

TEST(PortFinder, NamesAdaptersAndRealPortsAndHowToMapOne) {
    CFakeSystem sys;
    sys.Tty("ttyUSB0", "188:0", "../../../devices/usb1/1-1/1-1:1.0/ttyUSB0");
    sys.Write("sys/devices/usb1/1-1/product", "FT232R USB UART\n");
    sys.Write("sys/devices/usb1/1-1/manufacturer", "FTDI\n");
    sys.Write("sys/devices/usb1/1-1/1-1:1.0/ttyUSB0/uevent", "");
    sys.Tty("ttyACM0", "166:0", "../../../devices/usb1/1-2/1-2:1.0");
    sys.Write("sys/devices/usb1/1-2/product", "Arduino Uno\n");
    sys.Write("sys/devices/usb1/1-2/1-2:1.0/uevent", "");
    sys.Tty("ttyS0", "4:64", "../../../devices/platform/serial8250");
    sys.Tty("ttyS1", "4:65", "../../../devices/platform/serial8250");
    sys.Write("sys/devices/platform/serial8250/uevent", "");
    sys.Write("sys/class/tty/ttyS0/type", "4\n");
    sys.Write("sys/class/tty/ttyS1/type", "0\n");  // a slot without a chip
    sys.Tty("tty0", "4:0", "");                    // virtual: no hardware
    sys.Write("sys/class/tty/console/active", "ttyS0\n");
    sys.Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../../ttyUSB0");

    const std::string sDev = sys.Roots().sDev;
    const std::vector<CSerialPortInfo> ports = PlxListSerialPorts(sys.Roots());
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].sName, sDev + "/ttyACM0");
    EXPECT_EQ(ports[0].sDescription, "Arduino Uno");
    EXPECT_EQ(ports[1].sName, sDev + "/ttyS0");
    EXPECT_EQ(ports[1].sDescription, "built-in serial port");
    EXPECT_EQ(ports[1].sUnusable, "the system console");
    EXPECT_EQ(ports[2].sDescription, "FT232R USB UART, FTDI");
    EXPECT_EQ(ports[2].links, std::vector<std::string>{sDev + "/serial/by-id/usb-FTDI_FT232R_"
                                                              "USB_UART_A50285BI-if00-port0"});

    // The help names what COMn is and why it was refused, the ports, the map, and a command with
    // the first usable port. COM2 is a pty the fake system calls a console.
    CPortMap map;
    CPseudoTerminal pty;
    map.Map(2, pty.SlavePath());
    struct stat st;
    ASSERT_EQ(::stat(pty.SlavePath().c_str(), &st), 0);
    sys.Tty("ttyFAKE1", Numbers(st.st_rdev), "");
    sys.Write("sys/class/tty/console/active", "ttyS0 ttyFAKE1\n");
    const auto Help = [&](std::int32_t nPort) {
        return PlxPortHelp(nPort, 0, PlxListSerialPorts(sys.Roots()), sys.Roots());
    };
    const std::string sHelp = Help(2);
    ExpectInOrder(sHelp, {"COM2 is " + map.Directory() + "/com2 -> " + pty.SlavePath() +
                              ", the system console: not a port for servos.\n",
                          "Serial ports on this machine:\n  " + sDev + "/ttyACM0  Arduino Uno\n",
                          "ttyS0  built-in serial port (the system console, not for servos)\n",
                          "ttyUSB0  FT232R USB UART, FTDI\n    " + sDev + "/serial/by-id/usb-FTDI",
                          "Port map " + map.Directory() + ":\n  com2 -> " + pty.SlavePath() + "\n",
                          "To use a port as COM2:\n  mkdir -p " + map.Directory() + " && ln -sfn " +
                              sDev + "/ttyACM0 " + map.Directory() + "/com2\n"});

    // An entry that loops: the system's words, on both lines that name it.
    ASSERT_EQ(::symlink("com3", (map.Directory() + "/com3").c_str()), 0);
    ExpectInOrder(Help(3), {"COM3 is " + map.Directory() +
                                "/com3 -> com3: Too many levels of symbolic links.\n",
                            "  com3 -> com3 (Too many levels of symbolic links)\n", "mkdir -p "});
    // A map on a disk that is not mounted: said so, and no command that would fail as printed.
    const std::string sConfig = map.ConfigHome() + "/unmounted";
    std::filesystem::create_directories(sConfig + "/plx");
    ASSERT_EQ(::symlink("/nonexistent/usb/ports", (sConfig + "/plx/ports").c_str()), 0);
    ::setenv("XDG_CONFIG_HOME", sConfig.c_str(), 1);  // restored by map
    const std::string sBroken = Help(2);
    ExpectInOrder(sBroken, {"The port map " + sConfig + "/plx/ports cannot be reached: " + sConfig +
                                "/plx/ports is a link to /nonexistent/usb/ports, which does not "
                                "exist; COM2 is not looked for elsewhere.\n",
                            "Map a port as COM2 once " + sConfig +
                                "/plx/ports is a folder you can write to.\n"});
    EXPECT_EQ(sBroken.find("mkdir"), std::string::npos) << sBroken;
}

TEST(PortFinder, TellsTheSerialInterfacesOfOneDeviceApart) {
    // A servo controller with a command port and a TTL port (cdc_acm: ttys on the interfaces),
    // the first named by its maker, the second not; its data interfaces carry no tty.
    CFakeSystem sys;
    const std::string sDevice = "sys/devices/usb1/1-3";
    sys.Write(sDevice + "/product", "Servo Controller\n");
    for (const char* pszInterface : {"1-3:1.0", "1-3:1.2"}) {
        const std::string sInterface = sDevice + "/" + pszInterface;
        const std::string sTty = pszInterface[6] == '0' ? "ttyACM0" : "ttyACM1";
        sys.Write(sInterface + "/tty/" + sTty + "/dev", "166:0\n");
        sys.Write(sInterface + "/bInterfaceNumber", std::string("0") + pszInterface[6] + "\n");
        sys.Tty(sTty, "166:0", "../../../devices/usb1/1-3/" + std::string(pszInterface));
    }
    sys.Write(sDevice + "/1-3:1.0/interface", "Command Port\n");
    sys.Write(sDevice + "/1-3:1.1/bInterfaceNumber", "01\n");
    std::vector<CSerialPortInfo> ports = PlxListSerialPorts(sys.Roots());
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].sDescription, "Servo Controller (Command Port)");
    EXPECT_EQ(ports[1].sDescription, "Servo Controller (interface 2)");
    // Names that do not tell them apart give way to the numbers.
    sys.Write(sDevice + "/1-3:1.2/interface", "Command Port\n");
    ports = PlxListSerialPorts(sys.Roots());
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].sDescription, "Servo Controller (interface 0)");
}

}  // namespace

// CCommPort against pseudo-terminals mapped as COM ports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "serial/CommApi.h"
#include "serial/CommPort.h"
#include "serial/PortMap.h"
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

    m_map.Map(4, m_pty.SlavePath());
    CCommPort port(4, 9600);
    std::string sReport;
    ASSERT_TRUE(OpenCapturing(port, &sReport)) << sReport;
    EXPECT_EQ(sReport, "");

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
    EXPECT_EQ(m_pty.Read(sent.size()), sent);
    EXPECT_EQ(m_pty.ReadPending(50), std::vector<std::uint8_t>());
}

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
    struct sigaction action = {}, old = {};
    action.sa_handler = Ignore;  // no SA_RESTART
    ::sigaction(SIGALRM, &action, &old);
    itimerval timer = {{0, 1000}, {0, 1000}}, stopped = {};
    ::setitimer(ITIMER_REAL, &timer, nullptr);
    std::uint32_t nWritten = 0;
    const bool bOk = PlxWriteFile(writeEnd.Get(), data.data(),
                                  static_cast<std::uint32_t>(data.size()), &nWritten);
    ::setitimer(ITIMER_REAL, &stopped, nullptr);
    ::sigaction(SIGALRM, &old, nullptr);
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
    ASSERT_TRUE(PlxResolveComPort(1, &sPath, &nError));
    EXPECT_EQ(sPath, map.Directory() + "/com1");
    // Only resolved, never opened: no test touches the machine's own serial ports.
    ASSERT_TRUE(PlxResolveComPort(12, &sPath, &nError));
    EXPECT_EQ(sPath, std::string(PLX_SERIAL_DEVICE_PREFIX) + "11");
    EXPECT_FALSE(PlxResolveComPort(0, &sPath, &nError));
    EXPECT_EQ(nError, ENOENT);
    EXPECT_FALSE(PlxResolveComPort(-3, &sPath, &nError));

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
    if (pszHome) ::setenv("HOME", sHome.c_str(), 1);
}

}  // namespace

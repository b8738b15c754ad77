#include "Twin.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Spawn.h"
#include "serial/CommTermios.h"
#include "serial/PortMap.h"

namespace {

using Clock = std::chrono::steady_clock;

// Servos 0-15: both controllers on the line take their share.
std::uint8_t Servo(long i) { return static_cast<std::uint8_t>(i % 16); }
std::uint8_t Position(long i) { return static_cast<std::uint8_t>((i * 37) % 255); }

// Writes the packets to the line itself at nBaud, as a program of the user's would.
pid_t SpawnWriter(const std::string& sDevice, unsigned nBaud, long nPairs) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int fd = ::open(sDevice.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    speed_t speed = B0;
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0 || !PlxSpeedFromBaud(nBaud, &speed)) ::_exit(1);
    cfmakeraw(&tio);
    cfsetospeed(&tio, speed);
    cfsetispeed(&tio, speed);
    ::tcsetattr(fd, TCSANOW, &tio);
    std::vector<std::uint8_t> bytes;
    for (long i = 0; i < nPairs; ++i) bytes.insert(bytes.end(), {0xFF, Servo(i), Position(i)});
    for (std::size_t nDone = 0; nDone < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + nDone, bytes.size() - nDone);
        if (n <= 0) ::_exit(1);
        nDone += static_cast<std::size_t>(n);
    }
    ::_exit(0);
}

// The number after "sKey": in a line of the JSON report; 0 when it has none.
double Field(const std::string& sLine, const std::string& sKey) {
    const std::size_t nAt = sLine.find("\"" + sKey + "\":");
    return nAt == std::string::npos ? 0 : std::atof(sLine.c_str() + nAt + sKey.size() + 3);
}

// Reads the simulator's report until nPairs moves came; the time of each by its "t" and by
// the harness's clock, and the longest any waited on the line, with whether that is a floor.
void ReadMoves(int fd, long nPairs, std::chrono::seconds tGiveUp, std::vector<double>* pSim,
               std::vector<double>* pWall, double* pMostBehind, bool* pFloor) {
    const auto start = Clock::now();
    std::string sPending;
    while (static_cast<long>(pSim->size()) < nPairs && Clock::now() - start < tGiveUp) {
        pollfd pfd = {fd, POLLIN, 0};
        if (::poll(&pfd, 1, 1000) <= 0) continue;
        char buf[65536];
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0) return;
        const double dNow = std::chrono::duration<double>(Clock::now() - start).count();
        sPending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t nEnd; (nEnd = sPending.find('\n')) != std::string::npos;) {
            const std::string sLine = sPending.substr(0, nEnd);
            sPending.erase(0, nEnd + 1);
            if (sLine.find("\"event\":\"move\"") == std::string::npos) continue;
            pSim->push_back(Field(sLine, "t"));
            pWall->push_back(dNow);
            *pMostBehind = std::max(*pMostBehind, Field(sLine, "behind"));
            *pFloor = *pFloor || sLine.find("\"behind_floor\":true") != std::string::npos;
        }
    }
}

}  // namespace

CTwinResult PlxRunTwin(const std::string& sSimExe, const std::string& sTestExe, unsigned nBaud,
                       long nPairs) {
    CTwinResult result;
    char szDir[] = "/tmp/plx-twin-XXXXXX";
    int in[2], out[2];
    if (::mkdtemp(szDir) == nullptr || ::pipe2(in, O_CLOEXEC) != 0 ||
        ::pipe2(out, O_CLOEXEC) != 0) {
        result.sWhy = "no temporary folder or pipe";
        return result;
    }
    const std::string sDir = szDir;
    ::setenv("XDG_CONFIG_HOME", szDir, 1);
    const pid_t sim =
        PlxSpawn({sSimExe, "--json", "--port", "2", "--baud", std::to_string(nBaud), "--id", "0,8"},
                 in[0], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    const std::string sEntry = sDir + "/plx/ports/com2";
    for (int i = 0; i < 200 && PlxLinkTarget(sEntry).empty(); ++i) ::usleep(50000);
    pid_t writer = -1;
    if (sTestExe.empty()) {
        writer = SpawnWriter(PlxLinkTarget(sEntry), nBaud, nPairs);
    } else {
        std::ofstream pairs(sDir + "/pairs");
        pairs << "2\n";
        for (long i = 0; i < nPairs; ++i) pairs << int{Servo(i)} << ' ' << int{Position(i)} << '\n';
        pairs.close();
        const int pairsFd = ::open((sDir + "/pairs").c_str(), O_RDONLY | O_CLOEXEC);
        const int nullFd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        writer = PlxSpawn({sTestExe}, pairsFd, nullFd);
        ::close(pairsFd);
        ::close(nullFd);
    }
    const double dByte = 10.0 / nBaud;  // 8N1
    result.dIdealS = static_cast<double>(nPairs - 1) * 3 * dByte;
    std::vector<double> simT, wallT;
    ReadMoves(out[0], nPairs, std::chrono::seconds(static_cast<long>(result.dIdealS) + 20), &simT,
              &wallT, &result.dMostBehindS, &result.bBehindFloor);
    ::close(in[1]);  // the end of its input ends the simulator
    char buf[65536];
    while (::read(out[0], buf, sizeof(buf)) > 0) {
    }
    ::close(out[0]);
    rusage ru{};
    int nStatus = 0;
    ::wait4(sim, &nStatus, 0, &ru);
    ::waitpid(writer, &nStatus, 0);
    std::filesystem::remove_all(sDir);
    result.nPackets = static_cast<long>(simT.size());
    if (result.nPackets != nPairs) {
        result.sWhy =
            std::to_string(result.nPackets) + " of " + std::to_string(nPairs) + " packets reported";
        return result;
    }
    result.dSimSpanS = simT.back() - simT.front();
    result.dWallSpanS = wallT.back() - wallT.front();
    // Busy from the first packet's first start bit to the last packet's stop bit.
    result.dBusy = (static_cast<double>(nPairs) * 3 * dByte) / (result.dSimSpanS + 3 * dByte);
    const double dCpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                        static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    result.dCpuShare = dCpu / result.dSimSpanS;
    return result;
}

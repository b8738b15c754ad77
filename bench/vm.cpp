// plx-bench-vm: the twin's pacing through the kernel's own drivers. Pairs piped into
// plx-ssc-test in the test machine of ./test --vm go out through its 8250 UART and its FTDI
// adapter to a paced plx-ssc-sim here at 9600 baud; the simulator's clock (its events' "t") is
// held against the wire's time. Measured and printed, never asserted.
//   plx-bench-vm SIMULATOR [PAIRS]
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/TestMachine.h"

namespace {

// The "t" of each move the twin reported from nFrom on.
std::vector<double> MoveTimes(const std::string& sJson, std::size_t nFrom) {
    std::vector<double> times;
    std::istringstream lines(sJson.substr(nFrom));
    for (std::string s; std::getline(lines, s);) {
        const std::size_t nAt = s.find("\"t\":");
        if (s.find("\"event\":\"move\"") != std::string::npos && nAt != std::string::npos)
            times.push_back(std::atof(s.c_str() + nAt + 4));
    }
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);  // for the checks the machine's helpers make
    if (argc < 2) {
        std::fprintf(stderr, "usage: plx-bench-vm SIMULATOR [PAIRS]\n");
        return 2;
    }
    const long nPairs = argc > 2 ? std::atol(argv[2]) : 4000;
    CTestMachine machine(argv[1]);
    const std::string sWhy = machine.Boot();
    if (!sWhy.empty()) {
        std::fprintf(stderr, "plx-bench-vm: %s\n", sWhy.c_str());
        return 1;
    }
    machine.Ask("map", {"4", "adapter"});
    machine.Ask("pairs", {"/tmp/com2", "2", std::to_string(nPairs)});
    machine.Ask("pairs", {"/tmp/com4", "4", std::to_string(nPairs)});
    std::printf(
        "twin through the kernel's drivers: pairs piped into plx-ssc-test in the VM, the twin "
        "here at 9600 baud\n"
        "                      pairs    wire s   twin s  packets/s   error     busy  program s\n");
    struct CWire {
        std::string sName;
        const char* pszCom;
        CProgram& twin;
    };
    // The kernel numbers the machine's USB adapters in the order they come up.
    const std::string sAdapter = machine.Line("adapter");
    for (const CWire& wire : {CWire{"ttyS1 (8250)", "2", machine.Uart()},
                              CWire{sAdapter.substr(sAdapter.rfind('/') + 1) + " (ftdi_sio)", "4",
                                    machine.Adapter()}}) {
        wire.twin.Shows("");
        const std::size_t nFrom = wire.twin.Out().size();
        const auto tStart = std::chrono::steady_clock::now();
        const CAnswer end = machine.RunToEnd("bench", std::string("@/tmp/com") + wire.pszCom);
        const double dProgram =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
        // Until the twin has reported them all, counted as they come.
        std::size_t nCounted = nFrom;
        long nMoves = 0;
        wire.twin.WaitUntil([&] {
            wire.twin.Shows("");
            for (std::size_t nAt;
                 (nAt = wire.twin.Out().find(R"("event":"move")", nCounted)) != std::string::npos;
                 nCounted = nAt + 1)
                ++nMoves;
            return nMoves >= nPairs;
        });
        const std::vector<double> t = MoveTimes(wire.twin.Out(), nFrom);
        if (end.count("status") == 0 || end.at("status") != "0" ||
            static_cast<long>(t.size()) != nPairs) {
            std::printf("%-20s not measured: status %s, %zu of %ld packets\n", wire.sName.c_str(),
                        end.count("status") ? end.at("status").c_str() : "?", t.size(), nPairs);
            continue;
        }
        const double dByte = 10.0 / 9600;  // 8N1
        const double dIdeal = static_cast<double>(nPairs - 1) * 3 * dByte;
        const double dSpan = t.back() - t.front();
        std::printf("%-20s %6ld %9.3f %8.3f %10.1f %6.2f%% %7.2f%% %10.3f\n", wire.sName.c_str(),
                    nPairs, dIdeal, dSpan, static_cast<double>(nPairs - 1) / dSpan,
                    100.0 * (dSpan - dIdeal) / dIdeal,
                    100.0 * static_cast<double>(nPairs) * 3 * dByte / (dSpan + 3 * dByte),
                    dProgram);
    }
    std::printf(
        "the wire at 9600 8N1 carries 320 packets a second; program s: how long plx-ssc-test ran "
        "in the VM\n");
    return 0;
}

// ./test --faults: both programs' sessions with each call they make after main began failed in
// turn (strace -e inject), judged by their manuals' EXIT STATUS sections; and the judge itself,
// shown what a breach looks like.
#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>

#include "tests/FaultSessions.h"
#include "tests/FaultSweep.h"

namespace {

CSweepReport g_total;

void Sweep(CFaultSession& session) {
    CSweepReport report;
    const bool bRan = SweepSession(session, &report);
    std::cout << FormatReport(session.Name(), report) << std::flush;
    g_total.Add(report);
    ASSERT_TRUE(bRan) << (report.breaches.empty() ? "" : report.breaches.front());
    EXPECT_GT(report.Total().nCases, 0);
    EXPECT_TRUE(report.breaches.empty()) << report.breaches.size() << " breaches, listed above";
}

class CTotals : public ::testing::Environment {
public:
    void TearDown() override {
        const CSweepReport::CCount total = g_total.Total();
        std::cout << "faults: " << total.nCalls << " calls after main, " << total.nCases
                  << " cases, " << total.nRuns << " runs in " << static_cast<int>(g_total.dSeconds)
                  << " s, " << g_total.breaches.size() << " breaches" << std::endl;
    }
};
const auto* const g_pTotals = ::testing::AddGlobalTestEnvironment(new CTotals);

CInjection Failing(const char* pszCall, const char* pszError) {
    CInjection injection;
    injection.sCall = pszCall;
    injection.sError = pszError;
    injection.nWhen = 1;
    return injection;
}

CServoOutcome Sent() {
    CServoOutcome outcome;
    outcome.bEnded = true;
    outcome.sOut = "prompts";
    for (const auto& packet : kServoPackets)
        outcome.wire.insert(outcome.wire.end(), packet.begin(), packet.end());
    return outcome;
}

std::size_t ServoBreaches(const CServoOutcome& outcome, const char* pszCall = "write",
                          const char* pszError = "EIO", EServoPort port = EServoPort::Sending) {
    const CServoOutcome clean = Sent();
    bool bAbort = false;
    return JudgeServoTest(port, outcome, Failing(pszCall, pszError), &clean, &bAbort).size();
}

CSimOutcome Simulated() {
    CSimOutcome outcome;
    outcome.bEnded = outcome.bRegistered = outcome.bSignalled = true;
    outcome.sOut =
        "move     servo 0 to 100 (1394 us)\nmove     servo 3 to 200 (1787 us)\n"
        "move     servo 1 to 254 (2000 us)\n   10.076  ended by SIGTERM; last positions:\n";
    outcome.sTrace =
        "t,servo,commanded,pulse_us,angle_deg\n0.06,0,100,1394,0.0\n0.06,3,200,1787,0.0\n"
        "0.07,1,254,2000,0.0\n";
    outcome.sSvg = "<svg>\n</svg>\n";
    return outcome;
}

std::size_t SimBreaches(const CSimOutcome& outcome, const char* pszCall = "write",
                        const char* pszError = "EIO") {
    bool bAbort = false;
    return JudgeSimulator(outcome, Failing(pszCall, pszError), &bAbort).size();
}

TEST(FaultJudge, TellsPlxSscTestsBreachesFromItsContract) {
    EXPECT_EQ(ServoBreaches(Sent()), 0u);
    CServoOutcome told = Sent();
    told.nStatus = 1 << 8;
    told.wire.resize(6);
    told.sErr = "Unable to write to COM1: Input/output error\n";
    EXPECT_EQ(ServoBreaches(told), 0u);
    EXPECT_EQ(ServoBreaches(told, ""), 1u) << "a clean run that could not send";

    CServoOutcome outcome = told;
    outcome.sErr.clear();
    EXPECT_EQ(ServoBreaches(outcome), 1u) << "status 1, nothing told";
    outcome = Sent();
    outcome.wire.resize(6);
    EXPECT_EQ(ServoBreaches(outcome), 1u) << "status 0, a packet missing";
    outcome = told;
    outcome.wire.resize(5);
    EXPECT_EQ(ServoBreaches(outcome), 1u) << "a packet cut";
    outcome = Sent();
    outcome.wire.insert(outcome.wire.end(), kServoPackets[2].begin(), kServoPackets[2].end());
    EXPECT_EQ(ServoBreaches(outcome), 2u) << "a packet sent twice";
    outcome = Sent();
    outcome.bMarked = true;
    EXPECT_EQ(ServoBreaches(outcome), 1u) << "the mark left";
    outcome = Sent();
    outcome.bEnded = false;
    EXPECT_GE(ServoBreaches(outcome), 1u) << "a hang";
    outcome = told;
    outcome.nStatus = SIGSEGV;
    EXPECT_EQ(ServoBreaches(outcome), 1u) << "a crash";
    outcome.nStatus = SIGABRT;
    EXPECT_EQ(ServoBreaches(outcome, "mmap"), 0u) << "memory refused: told, not failed";
    EXPECT_EQ(ServoBreaches(outcome, "write"), 1u) << "an abort that memory did not cause";
    EXPECT_EQ(ServoBreaches(told, "write", "EINTR"), 1u) << "an interrupted write not retried";
    EXPECT_EQ(ServoBreaches(told, "ioctl", "EINTR"), 0u) << "an interrupted ioctl may fail";
    outcome = told;
    outcome.sFellTo = "/dev/ttyUSB0";
    EXPECT_EQ(ServoBreaches(outcome), 1u) << "a fall to the machine's own port";
    for (const char* pszPath : {"/dev/pts/3", "/dev/null", "/dev/shm/x", "/tmp/dev/ttyUSB0"})
        EXPECT_TRUE(FenceLetsThrough(pszPath)) << pszPath;
    for (const char* pszPath : {"/dev/ttyUSB0", "/dev/nullx", "/dev/serial/by-id/usb-x"})
        EXPECT_FALSE(FenceLetsThrough(pszPath)) << pszPath;

    CServoOutcome refused;
    refused.bEnded = true;
    refused.nStatus = 1 << 8;
    refused.sOut = "Unable to open communications port.\n";
    refused.bMarked = true;  // by the holder
    EXPECT_EQ(ServoBreaches(refused, "write", "EIO", EServoPort::Busy), 0u);
    EXPECT_EQ(ServoBreaches(refused, "", "", EServoPort::Busy), 0u) << "a clean run refused";
    outcome = refused;
    outcome.bMarked = false;
    EXPECT_EQ(ServoBreaches(outcome, "write", "EIO", EServoPort::Busy), 1u) << "its mark lifted";
    outcome = refused;
    outcome.bLineKept = false;
    EXPECT_EQ(ServoBreaches(outcome, "write", "EIO", EServoPort::Busy), 1u) << "the line changed";
    outcome = refused;
    outcome.wire = kServoPackets[0];
    EXPECT_EQ(ServoBreaches(outcome, "write", "EIO", EServoPort::Busy), 1u) << "bytes sent";
    outcome = refused;
    outcome.bMarked = false;
    outcome.nStatus = 0;
    EXPECT_EQ(ServoBreaches(outcome, "write", "EIO", EServoPort::Refused), 2u) << "status 0";
}

TEST(FaultJudge, TellsPlxSscSimsBreachesFromItsContract) {
    EXPECT_EQ(SimBreaches(Simulated()), 0u);
    CSimOutcome told;
    told.bEnded = true;
    told.nStatus = 1 << 8;
    told.sErr = "plx-ssc-sim: cannot open a pseudo-terminal: Input/output error\n";
    EXPECT_EQ(SimBreaches(told), 0u);
    EXPECT_EQ(SimBreaches(told, ""), 1u) << "a clean run that did not start";

    CSimOutcome outcome = told;
    outcome.sErr.clear();
    EXPECT_EQ(SimBreaches(outcome), 1u) << "status 1, nothing told";
    outcome = told;
    outcome.left = {"$DIR/plx/ports/com1"};
    EXPECT_EQ(SimBreaches(outcome), 1u) << "the entry left untold";
    outcome.sErr += "plx-ssc-sim: cannot remove $DIR/plx/ports/com1: Input/output error\n";
    EXPECT_EQ(SimBreaches(outcome), 0u);
    outcome = Simulated();
    outcome.sSvg.resize(8);
    EXPECT_EQ(SimBreaches(outcome), 1u) << "status 0, the plot cut";
    outcome = Simulated();
    outcome.sTrace.pop_back();
    EXPECT_EQ(SimBreaches(outcome), 1u) << "status 0, the trace cut";
    outcome = Simulated();
    outcome.sOut += "move     servo 3 to 200 (1787 us)\n";
    EXPECT_EQ(SimBreaches(outcome), 2u) << "a packet taken twice";
    outcome = Simulated();
    outcome.bEnded = false;
    EXPECT_GE(SimBreaches(outcome), 1u) << "a hang";
    EXPECT_EQ(SimBreaches(told, "read", "EINTR"), 1u) << "an interrupted read not retried";
    outcome = told;
    outcome.nStatus = SIGABRT;
    outcome.left = {"$DIR/plx/ports/com1"};
    EXPECT_EQ(SimBreaches(outcome, "brk"), 0u) << "memory refused: told, not failed";
}

TEST(FaultSweep, RunsAreFencedOffTheMachinesDevices) {
    ASSERT_TRUE(Fence().Ready()) << Fence().Why();
    CTempDir dir;
    // A device the programs never need, opened inside the fence: refused, where /dev/null is not.
    CTracedRun run({"/bin/sh", "-c",
                    "exec 3</dev/null && if (exec 4</dev/zero) 2>/dev/null; then echo open; else "
                    "echo refused; fi"},
                   {"PATH=/usr/bin:/bin"}, dir.Path(), std::string(), true);
    ASSERT_TRUE(run.WaitForEnd(std::chrono::seconds(15)));
    EXPECT_EQ(run.Out(), "refused\n") << run.Err();
}

TEST(FaultSweep, PlxSscTestSendingPackets) { Sweep(*MakeServoTestSession(EServoPort::Sending)); }

TEST(FaultSweep, PlxSscTestOnARefusedPort) { Sweep(*MakeServoTestSession(EServoPort::Refused)); }

TEST(FaultSweep, PlxSscTestOnAPortNotThere) { Sweep(*MakeServoTestSession(EServoPort::Missing)); }

TEST(FaultSweep, PlxSscTestOnABusyPort) { Sweep(*MakeServoTestSession(EServoPort::Busy)); }

TEST(FaultSweep, PlxSscSimTakingPackets) { Sweep(*MakeSimulatorSession()); }

}  // namespace

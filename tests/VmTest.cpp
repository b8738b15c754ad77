// plx-ssc-test on real kernel serial drivers: a virtual machine (Debian's own kernel under QEMU)
// whose console is its first UART, as on many servers, with a second 16550A UART and an emulated
// FTDI USB adapter, each wired to a plx-ssc-sim on this machine. Run by ./test --vm, which makes
// the machine (scripts/vm-image) and starts this suite once; the machine boots once for all.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tests/TestMachine.h"
#include "tests/TestSupport.h"

#ifndef PLX_SSC_SIM_EXE
#error "PLX_SSC_SIM_EXE must name the simulator"
#endif

namespace {

class VmTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_pMachine = new CTestMachine(PLX_SSC_SIM_EXE);
        s_sBootError = s_pMachine->Boot();
    }
    static void TearDownTestSuite() {
        delete s_pMachine;
        s_pMachine = nullptr;
    }
    void SetUp() override { ASSERT_EQ(s_sBootError, ""); }

    static CTestMachine& Machine() { return *s_pMachine; }
    // The device of one of the machine's lines ("console", "uart", "adapter", ...), as the
    // machine names it, and the kernel's name for it ("ttyS1").
    static std::string Device(const std::string& sLine) { return s_pMachine->Line(sLine); }
    static std::string KernelName(const std::string& sLine) {
        return Device(sLine).substr(Device(sLine).rfind('/') + 1);
    }
    static CAnswer Ask(const std::string& sVerb, const std::vector<std::string>& args = {}) {
        return s_pMachine->Ask(sVerb, args);
    }
    static CAnswer RunToEnd(const std::string& sName, const std::string& sInput,
                            const std::string& sUid = "0", const std::string& sGid = "0",
                            const std::string& sGroups = "-") {
        return s_pMachine->RunToEnd(sName, sInput, sUid, sGid, sGroups);
    }

    // What a twin reported from nFrom on, once that shows sText.
    static std::string TwinSince(CProgram& twin, std::size_t nFrom, const std::string& sText) {
        const bool bShown = twin.WaitUntil([&] {
            twin.Shows(sText);
            return twin.Out().find(sText, nFrom) != std::string::npos;
        });
        EXPECT_TRUE(bShown) << "the twin never reported " << sText << "; it reported:\n"
                            << twin.Out().substr(nFrom);
        return twin.Out().substr(nFrom);
    }
    static std::size_t Mark(CProgram& twin) {
        twin.Shows("");
        return twin.Out().size();
    }
    // The servo and position of each packet the twin took, in order, and whatever else it saw.
    static std::vector<std::pair<int, int>> Packets(const std::string& sJson, std::string* pOther) {
        std::vector<std::pair<int, int>> packets;
        const std::regex kMove(
            R"re(^\{"event":"move","t":[0-9.]+,"servo":([0-9]+),"position":([0-9]+),)re");
        std::istringstream lines(sJson);
        for (std::string s; std::getline(lines, s);) {
            std::smatch match;
            if (std::regex_search(s, match, kMove))
                packets.emplace_back(std::stoi(match[1]), std::stoi(match[2]));
            else if (s.find(R"("event":"line")") == std::string::npos)
                *pOther += s + "\n";
        }
        return packets;
    }

    // The line as the driver holds it while the program has it: 9600 8N1, raw, no flow
    // control, marked for the program alone; and the twin gets exactly the packets typed.
    static void ExpectTheLineHeldAndEveryByteCarried(const std::string& sCom,
                                                     const std::string& sLine, CProgram& twin) {
        const std::size_t nFrom = Mark(twin);
        Ask("start", {"held", "0", "0", "-", sCom + "\n1 10\n2 13\n3 17\n4 19\n"});
        TwinSince(twin, nFrom, R"("servo":4,"position":19,)");
        CAnswer line = Ask("line", {sLine});
        EXPECT_EQ(line["ispeed"], "9600");
        EXPECT_EQ(line["ospeed"], "9600");
        EXPECT_EQ(line["data"], "8");
        EXPECT_EQ(line["parity"], "N");
        EXPECT_EQ(line["stop"], "1");
        EXPECT_EQ(line["flow"], "none");
        EXPECT_EQ(line["cooked"], "none");
        EXPECT_EQ(line["exclusive"], "1");
        const CAnswer end = Ask("wait", {"held"});
        EXPECT_EQ(end.at("status"), "0") << end.at("err");
        EXPECT_EQ(Ask("line", {sLine})["exclusive"], "0");
        std::string sOther;
        EXPECT_EQ(Packets(twin.Out().substr(nFrom), &sOther),
                  (std::vector<std::pair<int, int>>{{1, 10}, {2, 13}, {3, 17}, {4, 19}}));
        EXPECT_EQ(sOther, "");
        // The twin keeps the line's settings as the driver set them at the far end.
        const std::size_t nLine = twin.Out().rfind(R"({"event":"line")");
        ASSERT_NE(nLine, std::string::npos);
        EXPECT_NE(twin.Out().find(R"("baud":9600,"data":8,"parity":"N","stop":1,)", nLine),
                  std::string::npos)
            << twin.Out().substr(nLine);
    }

    static CTestMachine* s_pMachine;
    static std::string s_sBootError;
};

CTestMachine* VmTest::s_pMachine = nullptr;
std::string VmTest::s_sBootError;

TEST_F(VmTest, TheConsoleIsRefusedBeforeAnythingOnItChanges) {
    const std::string sBefore = Ask("line", {"console"})["settings"];
    const CAnswer end = RunToEnd("console", "1\n1 2\n");
    EXPECT_EQ(end.at("status"), "1");
    EXPECT_EQ(Ask("line", {"console"})["settings"], sBefore);
    ExpectInOrder(end.at("err"), {"communication port 1:", "Device or resource busy",
                                  "COM1 is " + Device("console") +
                                      " (no entry for it in the port map), the system console: "
                                      "not a port for servos.\n"});
    EXPECT_NE(end.at("out").find("Unable to open communications port.\n"), std::string::npos);
}

TEST_F(VmTest, ThePortFinderListsWhatTheKernelHas) {
    const CAnswer end = RunToEnd("finder", "9\n");
    EXPECT_EQ(end.at("status"), "1");
    ExpectInOrder(
        end.at("err"),
        {"COM9 is " + Device("com9") +
             " (no entry for it in the port map), which does not exist.\n",
         "Serial ports on this machine:\n  " + Device("console") +
             "  built-in serial port (the system console, not for servos)\n  " + Device("uart") +
             "  built-in serial port\n  " + Device("adapter") + "  QEMU USB SERIAL, QEMU\n",
         "To use a port as COM9:\n"});
    // The kernel's empty UART slots have no chip behind them.
    EXPECT_EQ(end.at("err").find(KernelName("empty1")), std::string::npos) << end.at("err");
    EXPECT_EQ(end.at("err").find(KernelName("empty2")), std::string::npos);
}

TEST_F(VmTest, TheUartIsSetUpAsTheControllerNeedsAndCarriesEveryByte) {
    ExpectTheLineHeldAndEveryByteCarried("2", "uart", Machine().Uart());
}

TEST_F(VmTest, TheFtdiAdapterMappedAsComFourIsTheSame) {
    Ask("map", {"4", "adapter"});
    ExpectTheLineHeldAndEveryByteCarried("4", "adapter", Machine().Adapter());
}

TEST_F(VmTest, AHeldLineRefusesASecondProgramUntilTheFirstEnds) {
    const std::size_t nFirst = Mark(Machine().Uart());
    Ask("start", {"first", "0", "0", "-", "2\n1 2\n"});
    TwinSince(Machine().Uart(), nFirst, R"("servo":1,"position":2,)");
    const CAnswer second = RunToEnd("second", "2\n3 4\n");
    EXPECT_EQ(second.at("status"), "1");
    EXPECT_NE(second.at("err").find("        Device or resource busy"), std::string::npos)
        << second.at("err");
    Ask("signal", {"first", "15"});
    EXPECT_EQ(Ask("wait", {"first"}).at("status"), "signal 15");
    EXPECT_EQ(Ask("line", {"uart"})["exclusive"], "0");
    const std::size_t nFrom = Mark(Machine().Uart());
    EXPECT_EQ(RunToEnd("third", "2\n5 6\n").at("status"), "0");
    TwinSince(Machine().Uart(), nFrom, R"("servo":5,"position":6,)");
}

TEST_F(VmTest, AnAdapterPulledOutIsReportedAtEveryPairAndWorksPluggedBackIn) {
    Ask("map", {"4", "adapter"});
    CProgram& twin = Machine().Adapter();
    const std::size_t nPulled = Mark(twin);
    Ask("start", {"pulled", "0", "0", "-", "4\n1 2\n"});
    TwinSince(twin, nPulled, R"("servo":1,"position":2,)");
    EXPECT_EQ(Machine().Monitor("device_del ftdi"), "");
    Ask("gone", {"adapter"});
    Ask("type", {"pulled", "3 4\n5 6\n"});
    const CAnswer pulled = Ask("wait", {"pulled"});
    EXPECT_EQ(pulled.at("status"), "1");
    const std::string& sErr = pulled.at("err");
    const std::string kLine = "Unable to write to COM4: ";
    ASSERT_EQ(sErr.rfind(kLine, 0), 0u) << sErr;
    const std::string sFirst = sErr.substr(0, sErr.find('\n') + 1);
    EXPECT_EQ(sErr, sFirst + sFirst);  // one line for each pair
    EXPECT_GT(sFirst.size(), kLine.size() + 1);

    // QEMU frees the adapter's line only once the old device is finalized, a moment after the
    // machine has let it go: until then device_add says the line is in use, and adds nothing.
    std::string sAdded;
    do {
        sAdded = Machine().Monitor(std::string("device_add ") + CTestMachine::kAdapter);
    } while (sAdded.find("is in use") != std::string::npos && !GaveUp());
    EXPECT_EQ(sAdded, "");
    Ask("present", {"adapter"});
    const std::size_t nFrom = Mark(twin);
    EXPECT_EQ(RunToEnd("plugged", "4\n7 8\n").at("status"), "0");
    TwinSince(twin, nFrom, R"("servo":7,"position":8,)");
}

TEST_F(VmTest, ThousandsOfPairsReachTheTwinWholeAndInOrder) {
    constexpr int kPairs = 2000;
    CProgram& twin = Machine().Uart();
    const std::size_t nFrom = Mark(twin);
    Ask("pairs", {"/tmp/pairs", "2", std::to_string(kPairs)});
    EXPECT_EQ(RunToEnd("stream", "@/tmp/pairs").at("status"), "0");
    std::vector<std::pair<int, int>> expected;
    for (int i = 0; i < kPairs; ++i) expected.emplace_back(i % 8, i * 7 % 255);
    // The last pair is none of the ones before it: once the twin has it, it has them all.
    TwinSince(twin, nFrom,
              R"("servo":)" + std::to_string(expected.back().first) + R"(,"position":)" +
                  std::to_string(expected.back().second) + ",");
    std::string sOther;
    EXPECT_TRUE(Packets(twin.Out().substr(nFrom), &sOther) == expected);
    EXPECT_EQ(sOther, "");
}

TEST_F(VmTest, AnOrdinaryUserIsToldWhichGroupToJoinAndOnceInItOpens) {
    Ask("own", {"uart", "0", "20", "660"});
    const CAnswer refused = RunToEnd("ada", "2\n1 2\n", "1000", "1000");
    EXPECT_EQ(refused.at("status"), "1");
    ExpectInOrder(refused.at("err"),
                  {"        Permission denied",
                   "COM2 is " + Device("uart") +
                       " (no entry for it in the port map), which only the group dialout may "
                       "open.\nTo be let in, join dialout, then log in again:\n"
                       "  sudo usermod -aG dialout ada\n"});
    CProgram& twin = Machine().Uart();
    const std::size_t nFrom = Mark(twin);
    EXPECT_EQ(RunToEnd("ada-in-dialout", "2\n3 4\n", "1000", "1000", "20").at("status"), "0");
    TwinSince(twin, nFrom, R"("servo":3,"position":4,)");
    Ask("own", {"uart", "0", "0", "600"});
}

}  // namespace

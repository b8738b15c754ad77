// plx-ssc-test on real kernel serial drivers: a virtual machine (Debian's own kernel under QEMU)
// whose console is its first UART, as on many servers, with a second 16550A UART and an emulated
// FTDI USB adapter, each wired to a plx-ssc-sim on this machine, and the USB serial chips people
// plug in (CH340, CP2102, PL2303, a CDC ACM device) played inside it, each on its own driver. Run
// by ./test --vm, which makes the machine (scripts/vm-image) and starts this suite once; the
// machine boots once for all.
#include <gtest/gtest.h>

#include <map>
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
    // control, marked for the program alone.
    static void ExpectTheLineHeld(const std::string& sLine) {
        CAnswer line = Ask("line", {sLine});
        EXPECT_EQ(line["ispeed"], "9600");
        EXPECT_EQ(line["ospeed"], "9600");
        EXPECT_EQ(line["data"], "8");
        EXPECT_EQ(line["parity"], "N");
        EXPECT_EQ(line["stop"], "1");
        EXPECT_EQ(line["flow"], "none");
        EXPECT_EQ(line["cooked"], "none");
        EXPECT_EQ(line["exclusive"], "1");
    }

    // The line held as the controller needs it; and the twin gets exactly the packets typed.
    static void ExpectTheLineHeldAndEveryByteCarried(const std::string& sCom,
                                                     const std::string& sLine, CProgram& twin) {
        const std::size_t nFrom = Mark(twin);
        Ask("start", {"held", "0", "0", "-", sCom + kPackets});
        TwinSince(twin, nFrom, R"("servo":4,"position":19,)");
        ExpectTheLineHeld(sLine);
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

    // Four pairs whose packets hold LF, CR, XON and XOFF, which only a raw line carries as they
    // are.
    static constexpr const char* kPackets = "\n1 10\n2 13\n3 17\n4 19\n";
    static constexpr const char* kPacketBytes = "ff010aff020dff0311ff0413";

    // A session pulled out from under: a line for each pair after, the same each time, and
    // status 1.
    static void ExpectEveryLaterPairReported(const CAnswer& pulled, const std::string& sCom) {
        EXPECT_EQ(pulled.at("status"), "1");
        const std::string& sErr = pulled.at("err");
        const std::string kLine = "Unable to write to COM" + sCom + ": ";
        ASSERT_EQ(sErr.rfind(kLine, 0), 0u) << sErr;
        const std::string sFirst = sErr.substr(0, sErr.find('\n') + 1);
        EXPECT_EQ(sErr, sFirst + sFirst);  // one line for each pair
        EXPECT_GT(sFirst.size(), kLine.size() + 1);
    }

    // The record a gadget's chip keeps (vm/ChipGadget.cpp), once the chip has had nMore bytes
    // from the host since the last look; read in pieces, kept whole here.
    static std::string Record(const std::string& sGadget, std::size_t nMore = 0) {
        CChipRecord& record = s_records[sGadget];
        record.nBytes += nMore;
        record.sText += Ask("record", {sGadget, std::to_string(record.sText.size()),
                                       std::to_string(record.nBytes)})["record"];
        return record.sText;
    }
    // The bytes a record shows from the host after nFrom, in hex.
    static std::string BytesSince(const std::string& sRecord, std::size_t nFrom) {
        std::string sBytes;
        std::istringstream lines(sRecord.substr(nFrom));
        for (std::string s; std::getline(lines, s);)
            if (s.rfind("out ", 0) == 0) sBytes += s.substr(4);
        return sBytes;
    }
    // The last request the record has that begins with sKind.
    static std::string LastRequest(const std::string& sRecord, const std::string& sKind) {
        const std::size_t nAt = sRecord.rfind("\n" + sKind);
        return nAt == std::string::npos
                   ? std::string()
                   : sRecord.substr(nAt + 1, sRecord.find('\n', nAt + 1) - nAt - 1);
    }

    // A USB serial chip of the machine's, as its test drives it.
    struct CChip {
        std::string sLine;  // the machine's name for its line, and for the gadget that plays it
        std::string sCom;   // mapped as this COM port
        // The requests that set the chip's line up: each one the last of its kind (by its
        // beginning) while the program holds the line, as the kernel sends them for `stty 9600
        // cs8 -parenb -cstopb -crtscts`. Vendor and class requests alike go to the device.
        std::vector<std::pair<std::string, std::string>> setUp;
        // Its lines as the port list names them.
        std::vector<std::pair<std::string, std::string>> listed;
    };

    // Items of a chip's test, in order: the chip programmed as the controller needs it (from a
    // line left at 2400 7E1 with hardware flow control), every byte arrived and nothing more, a
    // second program refused while the first holds the line, the chip pulled out mid-session and
    // plugged back in, and the port list's words for it.
    static void ExpectTheChipServesTheController(const CChip& chip) {
        Ask("map", {chip.sCom, chip.sLine});
        Ask("stty", {chip.sLine, "2400"});
        const std::string sLeft = Record(chip.sLine);
        for (const auto& request : chip.setUp) {
            const std::string sAt2400 = LastRequest(sLeft, request.first);
            EXPECT_TRUE(sAt2400.rfind(request.first, 0) == 0 && sAt2400 != request.second)
                << "left at 2400: " << sAt2400;
        }

        Ask("start", {"held", "0", "0", "-", chip.sCom + kPackets});
        const std::string sHeld = Record(chip.sLine, 12);
        for (const auto& request : chip.setUp)
            EXPECT_EQ(LastRequest(sHeld, request.first), request.second)
                << sHeld.substr(sLeft.size());
        ExpectTheLineHeld(chip.sLine);
        const CAnswer second = RunToEnd("second", chip.sCom + "\n5 6\n");
        EXPECT_EQ(second.at("status"), "1");
        EXPECT_NE(second.at("err").find("        Device or resource busy"), std::string::npos)
            << second.at("err");
        const CAnswer end = Ask("wait", {"held"});
        EXPECT_EQ(end.at("status"), "0") << end.at("err");
        EXPECT_EQ(Ask("line", {chip.sLine})["exclusive"], "0");
        EXPECT_EQ(BytesSince(Record(chip.sLine), sLeft.size()), kPacketBytes);

        const std::size_t nPulled = Record(chip.sLine).size();
        Ask("start", {"pulled", "0", "0", "-", chip.sCom + "\n1 2\n"});
        EXPECT_EQ(BytesSince(Record(chip.sLine, 3), nPulled), "ff0102");
        Ask("unplug", {chip.sLine});
        Ask("gone", {chip.sLine});
        Ask("type", {"pulled", "3 4\n5 6\n"});
        ExpectEveryLaterPairReported(Ask("wait", {"pulled"}), chip.sCom);
        Ask("plug", {chip.sLine});
        Ask("present", {chip.sLine});
        Ask("map", {chip.sCom, chip.sLine});  // the kernel may number it anew
        const std::size_t nPlugged = Record(chip.sLine).size();
        const CAnswer plugged = RunToEnd("plugged", chip.sCom + "\n7 8\n");
        EXPECT_EQ(plugged.at("status"), "0") << plugged.at("err");
        EXPECT_EQ(BytesSince(Record(chip.sLine, 3), nPlugged), "ff0708");

        const std::string sListed = RunToEnd("finder", "9\n").at("err");
        CAnswer lines = Ask("lines");
        for (const auto& line : chip.listed)
            EXPECT_NE(sListed.find("  " + lines[line.first] + "  " + line.second + "\n"),
                      std::string::npos)
                << sListed;
    }

    struct CChipRecord {
        std::string sText;
        std::size_t nBytes = 0;
    };
    static std::map<std::string, CChipRecord> s_records;
    static CTestMachine* s_pMachine;
    static std::string s_sBootError;
};

std::map<std::string, VmTest::CChipRecord> VmTest::s_records;
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
         "Serial ports on this machine:\n",
         "  " + Device("console") +
             "  built-in serial port (the system console, not for servos)\n  " + Device("uart") +
             "  built-in serial port\n",
         "  " + Device("adapter") + "  QEMU USB SERIAL, QEMU\n", "To use a port as COM9:\n"});
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
    ExpectEveryLaterPairReported(Ask("wait", {"pulled"}), "4");

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

// The chips people plug in, each on its own driver, programmed as the kernel programs it for
// 9600 8N1 without flow control, as each driver's record shows: ch341 writes the divisor and
// prescaler register pair and the line control register; cp210x SET_BAUDRATE's four bytes,
// SET_LINE_CTL and SET_FLOW (no CTS handshake; DTR and RTS simply on); pl2303 the class request
// SET_LINE_REQUEST's seven bytes and its flow control register 0.
TEST_F(VmTest, Ch340) {
    ExpectTheChipServesTheController({"ch340",
                                      "5",
                                      {{"setup 40 9a 1312", "setup 40 9a 1312 b282 0000"},
                                       {"setup 40 9a 2518", "setup 40 9a 2518 00c3 0000"}},
                                      {{"ch340", "USB Serial, QinHeng Electronics"}}});
}

TEST_F(VmTest, Cp2102) {
    ExpectTheChipServesTheController(
        {"cp2102",
         "6",
         {{"setup 41 1e", "setup 41 1e 0000 0000 0004 80250000"},
          {"setup 41 03", "setup 41 03 0800 0000 0000"},
          {"setup 41 13", "setup 41 13 0000 0000 0010 01000000400000000000000000000000"}},
         {{"cp2102", "CP2102 USB to UART Bridge Controller, Silicon Labs"}}});
}

TEST_F(VmTest, Pl2303) {
    ExpectTheChipServesTheController(
        {"pl2303",
         "7",
         {{"setup 21 20", "setup 21 20 0000 0000 0007 80250000000008"},
          {"setup 40 01 0000", "setup 40 01 0000 0000 0000"}},
         {{"pl2303", "USB-Serial Controller, Prolific Technology Inc."}}});
}

// A device of two ports, as USB servo controllers have a command port and a TTL port: the kernel's
// acm function keeps the line coding it is sent to itself, so the line is read back from the
// driver only. The port list tells its two ports apart.
TEST_F(VmTest, CdcAcm) {
    ExpectTheChipServesTheController(
        {"acm",
         "8",
         {},
         {{"acm", "Two-Port Servo Controller, Test Lab (interface 0)"},
          {"acm-if02", "Two-Port Servo Controller, Test Lab (interface 2)"}}});
}

}  // namespace

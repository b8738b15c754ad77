// The test machine of ./test --vm: Debian's kernel under QEMU's software emulation, its console
// on its first UART, a second 16550A UART and an emulated FTDI USB adapter each wired to a
// plx-ssc-sim here, and USB serial chips played inside it (vm/ChipGadget.cpp). Commands go to
// plx-vm-guest on its console (vm/GuestRunner.cpp).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/TestProgram.h"
#include "tests/TestSupport.h"

// A command's answer: each key the machine said, with its value.
using CAnswer = std::map<std::string, std::string>;

class CTestMachine {
public:
    // sSimExe: the simulator for both far ends. The machine is not started yet.
    explicit CTestMachine(const std::string& sSimExe);
    // Tells the machine to power off, if it runs; what is left dies with the CPrograms.
    ~CTestMachine();
    CTestMachine(const CTestMachine&) = delete;
    CTestMachine& operator=(const CTestMachine&) = delete;

    // Boots the machine scripts/vm-image made (scripts/vm-run), and waits for its USB lines;
    // empty on success, else why not.
    std::string Boot();
    // One command to the machine, its arguments escaped on the way; its answer. A command that
    // fails fails the test.
    CAnswer Ask(const std::string& sVerb, const std::vector<std::string>& args = {});
    // A session of plx-ssc-test as uid:gid with the groups given ("-": none), given sInput
    // ("@FILE": that file in the machine), to its end.
    CAnswer RunToEnd(const std::string& sName, const std::string& sInput,
                     const std::string& sUid = "0", const std::string& sGid = "0",
                     const std::string& sGroups = "-");
    // A command to QEMU's monitor, done when the monitor is ready for the next; what it said.
    std::string Monitor(const std::string& sCommand);

    // The device the machine has for one of its lines, by the name the runner gives it
    // ("console", "uart", "adapter", ...: vm/GuestRunner.cpp).
    std::string Line(const std::string& sName) const {
        const auto it = m_lines.find(sName);
        return it == m_lines.end() ? std::string() : it->second;
    }
    // The far ends: of the second UART, and of the USB adapter.
    CProgram& Uart() { return m_uart; }
    CProgram& Adapter() { return m_adapter; }
    // The adapter as QEMU's device_add takes it.
    static constexpr const char* kAdapter = "usb-serial,chardev=adapter,id=ftdi";

private:
    CTempDir m_dir;
    CProgram m_uart;
    CProgram m_adapter;
    std::unique_ptr<CProgram> m_pQemu;
    std::string m_sMonitor;
    CAnswer m_lines;
    int m_nAsked = 0;
    std::size_t m_nRead = 0;
};

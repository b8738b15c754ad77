#include "tests/TestMachine.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <sstream>

#include "vm/ConsoleWords.h"

#ifndef PLX_VM_RUN
#error "PLX_VM_RUN must name scripts/vm-run"
#endif

CTestMachine::CTestMachine(const std::string& sSimExe)
    : m_uart(sSimExe.c_str(), EStreams::Pipe, {"--no-map", "--json"}),
      m_adapter(sSimExe.c_str(), EStreams::Pipe, {"--no-map", "--json"}) {}

CTestMachine::~CTestMachine() {
    if (m_pQemu && m_pQemu->Running()) Ask("quit");
    if (m_pQemu) m_pQemu->Wait();
}

std::string CTestMachine::Boot() {
    const std::string sUart = SimulatorDevice(m_uart);
    const std::string sAdapter = SimulatorDevice(m_adapter);
    // The machine reaches nothing of this one's but these two pseudo-terminals.
    const std::regex kPts("/dev/pts/[0-9]+");
    if (!std::regex_match(sUart, kPts) || !std::regex_match(sAdapter, kPts))
        return "the simulators gave no pseudo-terminals: " + sUart + ", " + sAdapter;
    m_sMonitor = m_dir.Path() + "/monitor";
    m_pQemu = std::make_unique<CProgram>(
        PLX_VM_RUN, EStreams::Pipe,
        std::vector<std::string>{
            "-chardev", "stdio,id=console,signal=off", "-chardev", "serial,id=uart,path=" + sUart,
            "-serial", "chardev:uart", "-usb", "-chardev", "serial,id=adapter,path=" + sAdapter,
            "-device", kAdapter, "-monitor", "unix:" + m_sMonitor + ",server=on,wait=off"});
    m_pQemu->WaitForOutput("@boot done\n");
    if (!m_pQemu->Running()) return "the machine did not boot: " + m_pQemu->Err();
    for (const char* pszLine : {"adapter", "ch340", "cp2102", "pl2303", "acm", "acm-if02"})
        Ask("present", {pszLine});
    m_lines = Ask("lines");
    return std::string();
}

CAnswer CTestMachine::Ask(const std::string& sVerb, const std::vector<std::string>& args) {
    const std::string sId = std::to_string(++m_nAsked);
    std::string sLine = sId + " " + sVerb;
    for (const std::string& sArg : args) sLine += " " + PlxConsoleWord(sArg);
    m_pQemu->Type(sLine + "\n");
    const std::string sDone = "@" + sId + " done\n";
    const std::string sOut = m_pQemu->WaitForOutput(sDone);
    CAnswer answer;
    std::istringstream lines(sOut.substr(m_nRead));
    const std::string sPrefix = "@" + sId + " ";
    for (std::string s; std::getline(lines, s);) {
        const std::size_t nSpace = s.find(' ', sPrefix.size());
        if (s.rfind(sPrefix, 0) == 0 && nSpace != std::string::npos)
            answer[s.substr(sPrefix.size(), nSpace - sPrefix.size())] =
                PlxFromConsoleWord(s.substr(nSpace + 1));
    }
    const std::size_t nEnd = sOut.find(sDone, m_nRead);
    if (nEnd != std::string::npos) m_nRead = nEnd + sDone.size();
    EXPECT_EQ(answer.count("error"), 0u) << sLine << ": " << answer["error"];
    return answer;
}

CAnswer CTestMachine::RunToEnd(const std::string& sName, const std::string& sInput,
                               const std::string& sUid, const std::string& sGid,
                               const std::string& sGroups) {
    Ask("start", {sName, sUid, sGid, sGroups, sInput});
    return Ask("wait", {sName});
}

std::string CTestMachine::Monitor(const std::string& sCommand) {
    CFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    m_sMonitor.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    if (::connect(sock.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ADD_FAILURE() << "monitor: " << std::strerror(errno);
        return std::string();
    }
    auto ReadToPrompt = [&] {
        std::string sSeen;
        while (sSeen.find("(qemu) ") == std::string::npos && !GaveUp()) {
            pollfd pfd = {sock.Get(), POLLIN, 0};
            if (::poll(&pfd, 1, kGiveUpCheckMs) <= 0) continue;
            char buf[512];
            const ssize_t n = ::read(sock.Get(), buf, sizeof(buf));
            if (n <= 0) break;
            sSeen.append(buf, static_cast<std::size_t>(n));
        }
        EXPECT_NE(sSeen.find("(qemu) "), std::string::npos) << "monitor: " << sSeen;
        return sSeen;
    };
    ReadToPrompt();
    const std::string sLine = sCommand + "\n";
    EXPECT_EQ(::write(sock.Get(), sLine.data(), sLine.size()), static_cast<ssize_t>(sLine.size()));
    // What it said after echoing the command, up to the next prompt.
    std::string sSaid = ReadToPrompt();
    const std::size_t nEcho = sSaid.find("\r\n");
    sSaid = nEcho == std::string::npos ? sSaid : sSaid.substr(nEcho + 2);
    return sSaid.substr(0, sSaid.rfind("(qemu) "));
}

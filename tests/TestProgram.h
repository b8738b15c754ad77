// A built program run by a test as a person (or a script) would run it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/TestSupport.h"

// How the program's standard input and output are connected.
enum class EStdin {
    Terminal,  // a pseudo-terminal of its own, as its controlling terminal
    Pipe,      // pipes for input and output
    Closed,    // no standard input at all; output to a pipe
};

class CProgram {
public:
    // nUid >= 0: run as that user (and its group id), for tests of what root is exempt from.
    CProgram(const char* pszExe, EStdin mode, const std::vector<std::string>& args = {},
             int nUid = -1);
    // Kills the program if it is still running.
    ~CProgram();
    CProgram(const CProgram&) = delete;
    CProgram& operator=(const CProgram&) = delete;

    // What the person types at the terminal, or what goes down the input pipe.
    void Type(const std::string& sKeys);
    void CloseInput() { m_in.Reset(); }
    void Signal(int nSignal);

    // Standard output (the screen, on a terminal) up to and including sText; the test fails if
    // it is not shown within ten seconds.
    std::string WaitForOutput(const std::string& sText);
    std::string WaitForError(const std::string& sText);

    // Waits (ten seconds at most) for the exit and collects the rest of both outputs; the raw
    // wait status.
    int Wait();
    bool Running();

    const std::string& Out() const { return m_sOut; }
    const std::string& Err() const { return m_sErr; }

private:
    int OutFd() const { return m_out.Get() >= 0 ? m_out.Get() : m_terminal.Master(); }

    CPseudoTerminal m_terminal;
    CFd m_in, m_out, m_err;
    pid_t m_pid = -1;
    int m_nStatus = -1;
    std::string m_sOut, m_sErr;
};

// A built program run by a test as a person (or a script) would run it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

// How the program's standard streams are connected.
enum class EStreams {
    Terminal,           // all three on a pseudo-terminal of its own, its controlling terminal
    TerminalErrorPipe,  // input and output on that terminal, standard error to a pipe (2>file)
    Pipe,               // pipes for input, output and error
    Closed,             // no standard input at all; output and error to pipes
};

// Files in place of the pipes, as a shell's < and > would give them.
struct CRedirect {
    std::string sStdin;
    int nStdinFlags = 0;  // O_RDONLY, O_WRONLY, ...
    std::string sStdout;
    // An ioctl request the system refuses the program with EIO, every time: a failure no device
    // gives on demand (seccomp, from before the program starts).
    unsigned long nFailedIoctl = 0;
};

// It dies with the test process, however that ends.
class CProgram : public CWriter {
public:
    // nUid >= 0: run as that user (its group id, no supplementary groups), for tests of what root
    // is exempt from. The program is started from a descriptor opened here, so that it runs
    // wherever the build folder is, even where that user could not look.
    CProgram(const char* pszExe, EStreams mode, const std::vector<std::string>& args = {},
             int nUid = -1, const CRedirect& redirect = {});
    // Kills the program if it is still running.
    ~CProgram() override;
    CProgram(const CProgram&) = delete;
    CProgram& operator=(const CProgram&) = delete;

    // What the person types at the terminal, or what goes down the input pipe.
    void Type(const std::string& sKeys);
    void CloseInput() { m_in.Reset(); }
    // The reader of its output goes away (as `| head -1` does).
    void CloseOutput() { m_out.Reset(); }
    void Signal(int nSignal);

    // Standard output (the screen, on a terminal) so far, once it shows sText; the test fails
    // if the program ends without showing it.
    std::string WaitForOutput(const std::string& sText);
    std::string WaitForError(const std::string& sText);
    // Whether standard output has shown sText by now: takes what is there, waits for nothing.
    bool Shows(const std::string& sText);
    // Whether it is asleep in a read of its standard input now, waiting for what comes next
    // there (as /proc/<pid>/syscall shows it), rather than running or waiting for anything else.
    bool WaitingForInput();
    // Asks done() again and again, until it holds or the program has ended; whether it held.
    bool WaitUntil(const std::function<bool()>& done);
    // Fills standard output with what nobody reads, as a reader that stopped long ago leaves a
    // pipe or a terminal: the program's next write finds no room.
    void FillOutput();

    // Waits for the exit and collects the rest of both outputs; the raw wait status.
    int Wait();
    bool Running() override;
    // Its pidfd.
    int Gone() const override { return m_gone.Get(); }

    const std::string& Out() const { return m_sOut; }
    const std::string& Err() const { return m_sErr; }

private:
    int OutFd() const { return m_out.Get() >= 0 ? m_out.Get() : m_terminal.Master(); }
    std::string WaitFor(int fd, std::string* pText, const std::string& sText);
    // Once the program has ended: everything it wrote, which is all in its pipes or terminal.
    void Collect();

    CPseudoTerminal m_terminal;
    CFd m_in, m_out, m_err, m_gone;
    bool m_bTerminal = false;
    pid_t m_pid = -1;
    int m_nStatus = -1;
    std::string m_sOut, m_sErr;
};

// Waits for a simulator started with --json to stand on its line; the device it reports there
// (empty when it ended first).
std::string SimulatorDevice(CProgram& sim);

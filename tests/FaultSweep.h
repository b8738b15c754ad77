// The fault sweep of ./test --faults: a session of a program is run once under strace with every
// call and its stack recorded, and then again and again with one of the calls it made after
// main began failed, through strace's -e inject. Each run is judged by the program's EXIT STATUS
// section (the sessions, in FaultSessions.h, know what that means for them).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

// One call as strace showed it: its thread, its name, the line, and where it was made.
struct CTracedCall {
    pid_t nTid = 0;
    std::string sName;
    std::string sText;
    std::vector<std::string> frames;  // innermost first, as "module(function+offset) [offset]"
    bool bInjected = false;
};

// A trace in the order the calls were made, and the thread that ran main (strace's child).
struct CTrace {
    std::vector<CTracedCall> calls;
    pid_t nMain = 0;
};

// Reads a trace written with -f, with or without stacks (-k).
CTrace ParseTrace(const std::string& sText);
// The stack as a key: two calls with the same key were made at the same place, on the same way
// there.
std::string SiteOf(const CTracedCall& call);
// The call without what changes from run to run (numbers, data, what the kernel filled in): two
// calls of the same shape are the same call to a person, if not always the same site.
std::string ShapeOf(const CTracedCall& call);
// The functions of sProgram the call was made through, innermost first (at most four), for a
// person to read: "PlxWriteFile < CCommPort::Write < RunServoDialogue".
std::string WhereIn(const CTracedCall& call, const std::string& sProgram);

// Which call fails: the nWhen-th call of sCall, counted in each thread (and each process) as
// strace counts, or counted only among the calls on the run's file sPath where that is given;
// with sError.
struct CInjection {
    std::string sCall;  // empty: nothing fails, and every call is traced with its stack
    std::string sError;
    int nWhen = 0;
    std::string sPath;     // a file in the run's folder, by its name there
    bool bStacks = false;  // the failed call traced with its stack, for the report
    bool Clean() const { return sCall.empty(); }
    std::string Name() const;  // "write EIO #7", "openat EIO #1 on trace.csv"
};

// The strace command before the program's own, for a run in sDir writing its trace to
// sTraceFile: every call with its stack in the clean run; otherwise execve, the injected kind of
// call (with stacks where the injection asks) and, with bWatchOpens, the opens (to see a program
// try a device the fence keeps it from).
std::vector<std::string> StraceCommand(const CInjection& injection, const std::string& sDir,
                                       const std::string& sTraceFile, bool bWatchOpens);
// The same for a person to run it again, the trace to /dev/null: program is the command line.
std::string ReportCommand(const CInjection& injection, const std::vector<std::string>& program);

// Keeps whatever the sweep starts from opening the machine's own devices: only /dev/null,
// /dev/random and /dev/urandom, /dev/ptmx and /dev/pts/*, /dev/shm, and everything outside /dev,
// may be opened for reading or writing (Landlock), so that a failed call that sent a program to
// one of the machine's own serial ports would find it refused.
class CDeviceFence {
public:
    CDeviceFence();
    bool Ready() const { return m_ruleset.Get() >= 0; }
    const std::string& Why() const { return m_sWhy; }
    // In the child, before it runs anything: from then on, for it and all it starts.
    bool Enter() const;

private:
    CFd m_ruleset;
    std::string m_sWhy;
};
// Whether the fence lets a program open sPath (a path as the program named it).
bool FenceLetsThrough(const std::string& sPath);

// strace running a program: its own process group, standard streams on pipes, kept off the
// machine's devices, nothing it starts outliving the object. Waits give up at their bound.
class CTracedRun {
public:
    // command[0] is run as it is named (a path), strace or not.
    CTracedRun(const std::vector<std::string>& command, const std::vector<std::string>& env,
               const std::string& sDir, const std::string& sInput, bool bEndInput);
    ~CTracedRun();
    CTracedRun(const CTracedRun&) = delete;
    CTracedRun& operator=(const CTracedRun&) = delete;

    // Takes output as it comes until done() holds, the run has ended, or tBound has passed;
    // whether done() held.
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds tBound);
    // Whether it ended within tBound.
    bool WaitForEnd(std::chrono::milliseconds tBound);
    bool Ended();
    // The program strace started (not strace): 0 until it is there.
    pid_t Program() const;
    void SignalProgram(int nSignal);
    void Kill();
    int Status() const { return m_nStatus; }
    const std::string& Out() const { return m_sOut; }
    const std::string& Err() const { return m_sErr; }

private:
    void Take(int nWaitMs);

    pid_t m_strace = -1;
    CFd m_in, m_out, m_err, m_gone;
    int m_nStatus = -1;
    std::string m_sOut, m_sErr;
};

// What one run of a session came to.
struct CVerdict {
    std::vector<std::string> breaches;  // what broke the contract, one line each
    bool bLibraryAbort = false;         // the C library's abort (memory refused): told, not failed
    std::string sWhat;                  // what happened, in one line
    CTrace trace;                       // the calls strace saw in this run
};

// A scripted session of one program, run as often as the sweep asks.
class CFaultSession {
public:
    virtual ~CFaultSession() = default;
    virtual std::string Name() const = 0;
    virtual std::string Program() const = 0;
    // The program's arguments for a run in sDir (the canonical path of the run's folder).
    virtual std::vector<std::string> Args(const std::string& sDir) const = 0;
    // Files in the run's folder that threads of the program write, by their names there.
    virtual std::vector<std::string> Files() const { return {}; }
    // What a person sets up before running ReportCommand, in a line.
    virtual std::string Setting() const = 0;
    // The run: sets it up in a folder of its own, drives it and judges it. The clean run comes
    // first, and the session keeps what it came to.
    virtual CVerdict Run(const CInjection& injection) = 0;
};

// The number of each kind of call and case, and the breaches: printed as the sweep goes.
struct CSweepReport {
    struct CCount {
        int nCalls = 0;  // after main, in the clean run
        int nCases = 0;
        int nRuns = 0;
        int nBreaches = 0;
        int nAborts = 0;
        int nMissed = 0;  // never reached, or a different call than aimed at every time
        int nLeftOut = 0;

        CCount& operator+=(const CCount& other);
    };
    std::map<std::string, CCount> counts;  // by call
    std::vector<std::string> breaches;
    double dSeconds = 0;

    // The counts of every call together.
    CCount Total() const;
    // Adds another report's counts, breaches and time to this one's.
    void Add(const CSweepReport& other);
};

// The fence every run is started behind.
const CDeviceFence& Fence();
// The sweep: the clean run (which must pass), then each case, as many at once as there are
// processors; the session's Run must allow that. False when the clean run failed.
bool SweepSession(CFaultSession& session, CSweepReport* pReport);
// The table of counts, and the breaches with the command that repeats each.
std::string FormatReport(const std::string& sSession, const CSweepReport& report);

// What the tests share: pseudo-terminals standing in for serial ports, a temporary port map, and
// a way to see what was written to standard error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimOptions.h"
#include "sim/line/PtyLine.h"
#include "tests/Expected.h"

// Whether the test has failed already, or the run is being stopped (SIGTERM, as from a
// timeout): then nothing waits any longer for what may never come (an event the failure kept
// from happening), so that a failing test ends at once, saying what it waited for, instead of
// hanging. Waits look at it every kGiveUpCheckMs; nothing is decided by that interval.
bool GaveUp();
// From now on every wait gives up: called on SIGTERM.
void StopWaiting();
constexpr int kGiveUpCheckMs = 100;

// Owns one descriptor.
class CFd {
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(CFd&& other) noexcept : m_fd(other.Release()) {}
    CFd& operator=(CFd&& other) noexcept;
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;

    int Get() const { return m_fd; }
    int Release();
    void Reset(int fd = -1);

private:
    int m_fd;
};

// Something that writes and may end, such as a program a test started: waits on it end when it
// does.
class CWriter {
public:
    virtual ~CWriter() = default;
    virtual bool Running() = 0;
    // Readable once it has ended, to wait for that beside something else; -1 when there is no
    // such descriptor (valgrind does not know pidfd_open): it is then asked every kGiveUpCheckMs.
    virtual int Gone() const = 0;
};

// A pseudo-terminal pair: the slave is the "serial port", the master the controller's end.
class CPseudoTerminal {
public:
    CPseudoTerminal();
    int Master() const { return m_line.Master(); }
    const std::string& SlavePath() const { return m_line.Device(); }
    // A descriptor on the slave held for the test's whole life, so that the pair outlives the
    // program's own closing of the port.
    int Slave() const { return m_line.Slave(); }
    void CloseMaster() { m_line.CloseMaster(); }

    // Everything the other end has written and the test has not read yet, nothing still on its
    // way missed: a marker written behind it through the slave is read back. For a writer known
    // to have finished (the test itself, a program that ended).
    std::vector<std::uint8_t> Written();
    // Waits for nCount bytes, or for the writer to end, and then takes all it wrote.
    std::vector<std::uint8_t> Read(std::size_t nCount, CWriter& writer);
    // The same as text: what came before the marker.
    std::string ReadThroughMarker();

private:
    CPtyLine m_line;
};

// A temporary directory, removed with everything in it.
class CTempDir {
public:
    // bForOthers: where OtherUser() can reach it too (mode 0755 under a folder it can search);
    // Path() is empty when there is no such place.
    explicit CTempDir(bool bForOthers = false);
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_sPath; }

private:
    std::string m_sPath;
};

// A port map of the test's own: XDG_CONFIG_HOME points at it while the object lives.
class CPortMap {
public:
    // bForOthers: one that OtherUser() can read too; check Usable() then.
    explicit CPortMap(bool bForOthers = false);
    bool Usable() const { return !m_dir.Path().empty(); }
    ~CPortMap();
    CPortMap(const CPortMap&) = delete;
    CPortMap& operator=(const CPortMap&) = delete;

    // comN -> target (a symbolic link, which need not point anywhere).
    void Map(std::int32_t nPort, const std::string& sTarget);
    const std::string& ConfigHome() const { return m_dir.Path(); }
    std::string Directory() const { return m_dir.Path() + "/plx/ports"; }

private:
    CTempDir m_dir;
    bool m_bHadConfig;
    std::string m_sOldConfig;
};

// Sets (or, with nullptr, unsets) an environment variable while it lives, for the programs a test
// starts; puts back what was there.
class CEnvironment {
public:
    CEnvironment(const char* pszName, const char* pszValue);
    ~CEnvironment();
    CEnvironment(const CEnvironment&) = delete;
    CEnvironment& operator=(const CEnvironment&) = delete;

private:
    const char* m_pszName;
    bool m_bHad;
    std::string m_sOld;
};

// Redirects descriptor 2 into a file while it lives; Text() returns what was written so far.
class CStderrCapture {
public:
    CStderrCapture();
    ~CStderrCapture();
    CStderrCapture(const CStderrCapture&) = delete;
    CStderrCapture& operator=(const CStderrCapture&) = delete;
    std::string Text() const;

private:
    CTempDir m_dir;
    CFd m_saved;
    std::string m_sFile;
};

// Another program, as a test plays it: a child of the test that runs setUp (a few system calls,
// nothing that allocates: it runs between fork and exit) and then stays, holding whatever it
// opened, until the object goes. Its standard output is the only descriptor of the test's it
// keeps. Ready() says whether setUp said it worked.
class CChildProgram {
public:
    explicit CChildProgram(bool (*setUp)(const void* pArgs), const void* pArgs);
    ~CChildProgram();
    CChildProgram(const CChildProgram&) = delete;
    CChildProgram& operator=(const CChildProgram&) = delete;
    bool Ready() const { return m_bReady; }
    int Pid() const { return m_pid; }

private:
    int m_pid = -1;
    bool m_bReady = false;
};

// The user a test runs a program as to see what root is exempt from: nobody when the tests run
// as root, -1 (the tests' own user) otherwise.
int OtherUser();

// In a child about to run something else: becomes user nUid (its group id as the group, no
// supplementary groups). False when the system refuses.
bool BecomeUser(int nUid);

// What a shell command prints on standard output.
std::string CommandOutput(const std::string& sCommand);

// Whether user nUid can search every folder down to sPath and sPath itself.
bool UserCanReach(int nUid, const std::string& sPath);

// The descriptors this process has open, from /proc/self/fd.
std::vector<int> OpenDescriptors();

// Reads a whole file (or what a regular file holds).
std::string ReadFileText(const std::string& sPath);

// How many times sPart is in sText, none overlapping.
std::size_t Occurrences(const std::string& sText, const std::string& sPart);

// Checks that the texts appear in sText in this order.
void ExpectInOrder(const std::string& sText, const std::vector<std::string>& parts);

// Sets the line fd is on to nBaud by number (termios2's BOTHER), as serial libraries set a rate
// no B constant names; false when the system refuses.
bool SetLineSpeedByNumber(int fd, std::uint32_t nBaud);

// The rig plx-ssc-sim plays for these options, for the tests that drive its pieces; options it
// refuses fail the test.
CSimRig RigOf(const std::vector<std::string>& args);

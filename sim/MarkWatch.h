// A program that held the line with TIOCEXCL and was killed cannot lift the mark, and on a
// pseudo-terminal it outlives the program, so that nobody but root could open the port again.
// The simulator lifts a mark once it is stale: no program holds the port's lock, and no other
// process has the line open. A process whose open files it cannot look at (another user's, when
// it does not run as root) counts as one that may have the line open: its mark stays. A program
// that marks without locking (as several terminal programs do) keeps its mark while it runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "sim/SimTime.h"

class CMarkWatch {
public:
    // How often at most it looks: a look may read every process's open files.
    static constexpr SimTime INTERVAL = std::chrono::milliseconds(250);

    // slave: the simulator's own descriptor on the line.
    explicit CMarkWatch(int slave, std::string sProc = "/proc")
        : m_slave(slave), m_sProc(std::move(sProc)) {}

    // Looks, if the last look was INTERVAL ago or more, and lifts a stale mark.
    void Look(SimTime tNow);
    // When the next look is due.
    SimTime NextDue() const { return m_tLast + INTERVAL; }
    // How many times it has had to read the processes' open files.
    std::uint64_t Scans() const { return m_nScans; }

private:
    int m_slave;
    std::string m_sProc;
    SimTime m_tLast = -INTERVAL;
    std::uint64_t m_nScans = 0;
};

// Whether a process under sProc other than this one has the device rdev open, or may have: one
// whose open files cannot be read counts as one that may.
bool PlxHeldByAnother(dev_t rdev, const std::string& sProc);

// A program that held the line with TIOCEXCL and was killed cannot lift the mark, and on a
// pseudo-terminal it outlives the program, so that nobody but root could open the port again.
// So does a line discipline a program set (a real port goes back to the terminal's own, N_TTY, at
// its last close; the simulator's own descriptor keeps this one from ever closing), so that every
// program after it finds another program's discipline on the line. The simulator lifts a mark,
// and sets the discipline back, once it is stale: no program holds the port's lock, and no other
// process has the line open. A process whose open files it cannot look at (another user's, when
// it does not run as root) counts as one that may have the line open: its mark, or discipline,
// stays. A program that marks without locking (as several terminal programs do) keeps its mark
// while it runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "sim/SimTime.h"

// What the last look at the line's mark, or its discipline, found.
enum class EMark {
    Free,     // not marked; the terminal's own discipline
    Locked,   // marked by the program that holds its lock: the line is in use
    Open,     // marked without a lock, and another process has the line open: kept
    Unknown,  // marked without a lock, and a process that cannot be looked at may have it: kept
    Lifted,   // marked by a program that is gone: lifted; its discipline set back to N_TTY
};

class CMarkWatch {
public:
    // How often at most it looks: a look may read every process's open files.
    static constexpr SimTime INTERVAL = std::chrono::milliseconds(250);

    // slave: the simulator's own descriptor on the line.
    explicit CMarkWatch(int slave, std::string sProc = "/proc")
        : m_slave(slave), m_sProc(std::move(sProc)) {}

    // Looks, if the last look was INTERVAL ago or more, lifts a stale mark and sets a stale
    // discipline back. True when the look found something other than the look before it.
    bool Look(SimTime tNow);
    EMark State() const { return m_state; }
    // The line discipline as the look found it: what became of it, its number, and its name as
    // the kernel gives it ("n_null"; empty when not told); and whether this look found the mark,
    // or the discipline, other than the look before.
    EMark DisciplineState() const { return m_discipline; }
    int Discipline() const { return m_nDiscipline; }
    std::string DisciplineName() const;
    bool MarkChanged() const { return m_bMarkChanged; }
    bool DisciplineChanged() const { return m_bDisciplineChanged; }
    // With Open: the process that has the line open, and its command's name.
    pid_t Holder() const { return m_nHolder; }
    std::string HolderCommand() const;
    // When the next look is due.
    SimTime NextDue() const { return m_tLast + INTERVAL; }
    // How many times it has had to read the processes' open files.
    std::uint64_t Scans() const { return m_nScans; }

private:
    int m_slave;
    std::string m_sProc;
    SimTime m_tLast = -INTERVAL;
    std::uint64_t m_nScans = 0;
    EMark m_state = EMark::Free;
    EMark m_discipline = EMark::Free;
    int m_nDiscipline = 0;
    bool m_bMarkChanged = false;
    bool m_bDisciplineChanged = false;
    pid_t m_nHolder = 0;
};

// A process under sProc, other than this one, that has the device rdev open: its pid; -1 when
// none is seen to but one whose open files cannot be read may; 0 when none has.
pid_t PlxLineHolder(dev_t rdev, const std::string& sProc);

// The signals that steer the simulator: those that end it, those that stop it (Ctrl+Z) and
// continue it, and a changed window size. The handlers only take note; the loop acts on the
// notes after each wait. Outside that wait the signals are held back, so that none can arrive
// between a look at the notes and the next wait and be left unseen until some later event.
#pragma once

#include <poll.h>
#include <signal.h>

#include <string>

#include "sim/SimTime.h"

class CSimSignals {
public:
    CSimSignals() = default;
    // Gives back the signal mask it found.
    ~CSimSignals();
    CSimSignals(const CSimSignals&) = delete;
    CSimSignals& operator=(const CSimSignals&) = delete;

    // Installs the handlers. A reader that went away and a file grown too large then show as
    // failed writes instead of ending the process unseen. False when the system refuses.
    bool Catch();

    // Waits for the descriptors or a signal, at most tTimeout (negative: for ever). As poll.
    int Wait(pollfd* pFds, nfds_t nFds, SimTime tTimeout);

    // The signal that ends the simulator; 0 while none came.
    static int EndSignal();
    // The stop signal that came (SIGTSTP, SIGTTIN, SIGTTOU), once; 0 when none.
    static int TakeStop();
    // Whether the window size changed, or the process was continued, since last asked.
    static bool TakeResized();
    static bool TakeContinued();

    // Stops the process as nSignal would by default; returns once it is continued.
    static void StopAs(int nSignal);

private:
    sigset_t m_old{};
    bool m_bBlocked = false;
};

// Standard input, whose end ends the simulator where it says anything: a pipe's end, or Ctrl+D
// at a terminal the simulator is in the foreground of (read from the background, the terminal
// would stop it). A file or /dev/null, as a background job's input is, says nothing.
class CInputEnd {
public:
    CInputEnd();
    // Looks again whether the simulator is in its terminal's foreground.
    void Look();
    // The descriptor to wait on for the end; -1 while the input says nothing.
    int Fd() const;
    // Reads what came; whether it was the end. False while the input says nothing.
    bool Ended() const;

private:
    bool m_bPipe = false;
    bool m_bTerminal = false;
    bool m_bCounts = false;  // whether its end ends the run now
};

// Whether this process runs in the background of the terminal fd is on (a job started with &).
bool PlxInBackground(int fd);

// "SIGTERM".
std::string PlxSignalName(int nSignal);

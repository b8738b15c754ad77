#include "sim/Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

#include "serial/CommApi.h"
#include "serial/PortMap.h"
#include "sim/SimSignals.h"
#include "sim/controller/Controller.h"
#include "sim/controller/ServoBoard.h"
#include "sim/line/LineBacklog.h"
#include "sim/line/LineSpeed.h"
#include "sim/line/LineWatch.h"
#include "sim/line/MarkWatch.h"
#include "sim/line/OpenWatch.h"
#include "sim/line/PacedLine.h"
#include "sim/line/PortRegistration.h"
#include "sim/line/PtyLine.h"
#include "sim/report/LiveView.h"
#include "sim/report/ReportOut.h"
#include "sim/report/SimPlot.h"
#include "sim/report/SimReport.h"
#include "sim/report/SimTrace.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr SimTime kLook = 100ms;      // line settings changed while nothing is sent
constexpr SimTime kTakeBatch = 20ms;  // bytes come off the wire at most this often
constexpr std::size_t kMaxBacklog =
    std::size_t{64} * 1024;  // unread report that holds the line back
constexpr std::size_t kEndingRead = std::size_t{64} * 1024;  // most taken off the line at the end
constexpr std::chrono::milliseconds kEndingWait(200);
// How long the end waits for the trace and the plot to be written, from its start: with the
// output's wait, an ending signal ends the simulator within a second whatever the files do.
constexpr std::chrono::milliseconds kFilesWait(750);

class CSimulator {
public:
    explicit CSimulator(const CSimOptions& options)
        : m_options(options),
          m_rig(options.rig),
          m_sCom(options.bMap ? "COM" + std::to_string(options.nPort) : std::string()),
          m_out(&m_outBuffer),
          m_board(m_rig),
          m_controller(m_rig, m_board),
          m_paced(m_rig.bInstant),
          m_report(m_out, options.bJson, m_rig),
          m_trace(options.sTrace, m_rig),
          m_plot(options.sPlot, m_rig) {}

    int Run() {
        if (!Start()) return 1;
        while (!m_bEnded) Step();
        return Finish();
    }

private:
    bool Start();
    bool Open(std::string* pError);
    void Step();
    SimTime Now() const { return std::chrono::steady_clock::now() - m_t0; }
    SimTime NextWake(SimTime tNow) const;
    void Look(SimTime tNow);
    void WatchLine(SimTime tNow);
    void CountLine(SimTime tNow);
    ssize_t ReadLine(SimTime tNow, std::size_t nMost);
    void TakeWire(SimTime tUpTo);
    bool Tracing() const { return !m_options.sTrace.empty(); }
    void Suspend(int nSignal);
    void End(const std::string& sWhy, int nStatus);
    int Finish();
    // A failure, on standard error without waiting for it to be read: a stalled reader (a
    // stopped pager, a terminal held with Ctrl+S) must not keep the simulator from ending.
    void Tell(const std::string& sFailure);
    SimTime ByteTime() const { return PlxByteTime(m_lineState.settings, m_rig.Board().Baud()); }

    const CSimOptions& m_options;
    const CSimRig& m_rig;
    std::string m_sCom;  // "COM1", empty when not registered
    CSimSignals m_signals;
    CReportOut m_outBuffer{STDOUT_FILENO};
    std::ostream m_out;
    CReportOut m_errBuffer{STDERR_FILENO};
    CPtyLine m_line;
    CLineBacklog m_backlog;
    COpenWatch m_opens;  // with a board that restarts when its port is first opened
    CPortRegistration m_registration;
    std::string m_sReplaced;
    CServoBoard m_board;
    CController m_controller;
    CPacedLine m_paced;
    CSimReport m_report;
    CSimTrace m_trace;
    CSimPlot m_plot;
    CSimSinks m_sinks;
    CLineState m_lineState;
    std::optional<CLiveView> m_view;  // the report, at a terminal that takes it
    std::optional<CMarkWatch> m_marks;
    std::chrono::steady_clock::time_point m_t0;
    std::vector<CWireByte> m_wire;
    std::vector<CReached> m_reached;
    SimTime m_tLook{};      // the next look at the line and the terminal
    SimTime m_tTaken{};     // when bytes last came off the wire
    SimTime m_tLastByte{};  // when the last of them arrived
    CInputEnd m_input;
    bool m_bEnded = false;
    bool m_bLineUnread = false;     // the line's settings could not be read, which was told
    bool m_bLineUncounted = false;  // the bytes waiting on it could not be counted, which was told
    int m_nStatus = 0;
    std::string m_sEndedBy = "end of input";
};

bool CSimulator::Open(std::string* pError) {
    if (!m_signals.Catch()) {
        *pError = "cannot catch signals: " + PlxFormatMessage(errno);
        return false;
    }
    // The slave descriptor CPtyLine holds also lets the simulator lift a stale exclusive mark.
    if (!m_line.Open(pError)) return false;
    // Read without waiting: what is left on the line at the end is taken until there is no more,
    // and a read never holds the loop away from its signals.
    const int nFlags = ::fcntl(m_line.Master(), F_GETFL);
    if (nFlags < 0 || ::fcntl(m_line.Master(), F_SETFL, nFlags | O_NONBLOCK) != 0) {
        *pError = "cannot set up " + m_line.Device() + ": " + PlxFormatMessage(errno);
        return false;
    }
    if (m_options.bMap && !m_registration.Register(PlxPortMapDirectory(), m_options.nPort,
                                                   m_line.Device(), &m_sReplaced, pError))
        return false;
    // The watches on the line: bytes coming in, and programs opening it.
    if (!m_backlog.Open(m_line.Master(), pError) ||
        (m_rig.dResetS > 0 && !m_opens.Open(m_line.Device(), pError)))
        return false;
    // No output file is touched before the simulator has its port.
    return !Tracing() || m_trace.Open(pError);
}

bool CSimulator::Start() {
    std::string sError;
    if (!Open(&sError)) {
        std::vector<std::string> failures{sError};
        m_registration.Unregister(&failures);
        for (const std::string& sFailure : failures) Tell(sFailure);
        m_errBuffer.Drain(kEndingWait);
        return false;
    }
    m_t0 = std::chrono::steady_clock::now();
    m_marks.emplace(m_line.Slave());
    if (!m_options.bJson && !m_options.bLog && PlxPanelFits())
        m_view.emplace(m_out, m_outBuffer, m_board, m_lineState,
                       m_sCom + (m_sCom.empty() ? "" : " ") + m_line.Device());
    m_sinks.Add(m_view ? static_cast<CSimSink*>(&*m_view) : &m_report);
    if (Tracing()) m_sinks.Add(&m_trace);
    if (!m_options.sPlot.empty()) m_sinks.Add(&m_plot);
    if (!m_view)
        m_report.Ready({m_line.Device(), m_options.nPort, m_registration.Entry(), m_sReplaced});
    Look(SimTime(0));  // the line's first settings, and the live view where it fits
    return true;
}

// One pass of the loop: wait for the line, the input, room for the output or the next thing
// due, then do whatever is due.
void CSimulator::Step() {
    SimTime tNow = Now();
    const std::size_t nRoom = m_outBuffer.Pending() < kMaxBacklog ? m_paced.Room(ByteTime()) : 0;
    pollfd fds[5] = {{nRoom > 0 ? m_line.Master() : -1, POLLIN, 0},
                     {m_input.Fd(), POLLIN, 0},
                     {m_outBuffer.Pending() > 0 ? m_outBuffer.Fd() : -1, POLLOUT, 0},
                     {m_backlog.Fd(), POLLIN, 0},
                     {m_opens.Fd(), POLLIN, 0}};
    const SimTime tWake = NextWake(tNow);
    const int nReady =
        m_signals.Wait(fds, 5, tWake == kNever ? SimTime(-1) : std::max(tWake - tNow, SimTime(0)));
    if (nReady < 0 && errno != EINTR) {
        End("error: " + PlxFormatMessage(errno), 1);
        return;
    }
    tNow = Now();
    if (const int nEnd = CSimSignals::EndSignal()) {
        End(PlxSignalName(nEnd), 0);
        return;
    }
    if (const int nStop = CSimSignals::TakeStop()) Suspend(nStop);
    if (CSimSignals::TakeContinued() || CSimSignals::TakeResized()) {
        if (m_view) m_view->Changed();
        m_tLook = tNow;  // perhaps in the foreground now, or no longer
    }
    if (tNow >= m_tLook) Look(tNow);
    if (m_marks->Look(tNow) && !m_view) {
        if (m_marks->MarkChanged())
            m_report.Mark(tNow, m_marks->State(), m_marks->Holder(), m_marks->HolderCommand());
        if (m_marks->DisciplineChanged()) m_report.Discipline(tNow, *m_marks);
    }
    // Bytes that came while the simulator reads no more are counted as they come, for how long
    // each then waits (a line read from now is counted as it is read).
    if (nReady > 0 && (fds[3].revents & POLLIN) && !(fds[0].revents & POLLIN)) CountLine(tNow);
    // A program opened the port that no other had open: what was on the wire before reaches the
    // board first, and what is read from now on comes after the open.
    if (nReady > 0 && (fds[4].revents & POLLIN) && m_opens.FirstOpened()) {
        TakeWire(tNow);
        m_controller.Opened(tNow, &m_sinks);
    }
    if (nReady > 0 && (fds[0].revents & POLLIN)) ReadLine(tNow, nRoom);
    TakeWire(tNow);
    m_board.AdvanceTo(tNow, &m_sinks);
    // A trace that cannot even be created ends the run at once; one that fails later is told at
    // the end.
    std::string sError;
    if (Tracing() && !m_bEnded && m_trace.OpenFailed() && !m_trace.Close(Clock::now(), &sError))
        End(sError, 1);
    if (nReady > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) && m_input.Ended())
        End("end of input", 0);
    if (m_view) m_view->Draw(tNow);
    if (!m_outBuffer.Send()) End("output gone: " + PlxFormatMessage(m_outBuffer.Error()), 1);
    m_errBuffer.Send();
}

SimTime CSimulator::NextWake(SimTime tNow) const {
    SimTime tWake = std::min({m_tLook, m_marks->NextDue(), m_board.NextDue()});
    // Bytes on the wire are taken a frame's worth at a time, not each as it arrives.
    if (m_paced.NextDue() != kNever)
        tWake = std::min(tWake, std::max(m_paced.NextDue(), m_tTaken + kTakeBatch));
    return m_view ? std::min(tWake, m_view->NextDue(tNow)) : tWake;
}

void CSimulator::Look(SimTime tNow) {
    m_tLook = tNow + kLook;
    WatchLine(tNow);
    m_input.Look();
    if (m_view) m_view->Look();
}

// Reads the line settings, reporting them the first time and whenever they change.
void CSimulator::WatchLine(SimTime tNow) {
    termios tio;
    if (::tcgetattr(m_line.Master(), &tio) != 0) {
        // Once: every look after it would say the same, and the packets are judged by the
        // settings last read until a look works again.
        if (!m_bLineUnread)
            Tell("cannot read the line's settings: " + PlxFormatMessage(errno) +
                 "; packets are judged by the settings last read");
        m_bLineUnread = true;
        return;
    }
    CLineSettings now = PlxReadLineSettings(tio);
    // A rate set by number (termios2's BOTHER, as serial libraries set 14400 or 250000) has no
    // speed for termios.
    if (now.nBaud == 0) now.nBaud = PlxLineSpeedByNumber(m_line.Master());
    if (m_lineState.bKnown && now == m_lineState.settings) return;
    m_lineState = {now, true, m_controller.WhyNot(now)};
    if (m_view)
        m_view->Changed();
    else
        m_report.Line(tNow, now);
}

// Counts the bytes waiting on the line. A count that fails is told once: the waits are only
// floors from then on, until the line is seen empty.
void CSimulator::CountLine(SimTime tNow) {
    if (m_backlog.Look(tNow) || m_bLineUncounted) return;
    Tell("cannot count the bytes waiting on the line: " + PlxFormatMessage(errno) +
         "; how long packets waited is only a floor until it is seen empty");
    m_bLineUncounted = true;
}

// At most nMost bytes off the line, onto the wire; what read() gave.
ssize_t CSimulator::ReadLine(SimTime tNow, std::size_t nMost) {
    WatchLine(tNow);  // the program may have set the line just before it wrote
    CountLine(tNow);  // when the bytes about to be read reached the line
    std::uint8_t buf[4096];
    const ssize_t n = ::read(m_line.Master(), buf, std::min(nMost, sizeof(buf)));
    if (n <= 0) return n;
    m_reached.clear();
    m_backlog.Read(static_cast<std::size_t>(n), tNow, &m_reached);
    m_paced.Arrive(buf, m_reached.data(), static_cast<std::size_t>(n), tNow, ByteTime());
    return n;
}

// The bytes whose stop bit has arrived by tUpTo, to the controllers; each event with how long its
// last byte waited since it reached the line, and the line's backlog then: the wire time of every
// byte after it still waiting, read ahead here or in the line's buffer.
void CSimulator::TakeWire(SimTime tUpTo) {
    m_wire.clear();
    m_paced.Take(tUpTo, &m_wire);
    if (!m_wire.empty()) CountLine(std::min(tUpTo, Now()));
    for (const CWireByte& byte : m_wire) {
        m_controller.Take(byte, m_lineState.settings,
                          static_cast<SimTime::rep>(byte.nAfter + m_backlog.Waiting()) * ByteTime(),
                          m_backlog.Hidden());
        m_tLastByte = byte.tDone;
    }
    // What the board makes of the line can change with a byte (one it detects its baud rate from).
    if (!m_wire.empty() && m_lineState.bKnown) {
        std::string sWhyNot = m_controller.WhyNot(m_lineState.settings);
        if (sWhyNot != m_lineState.sWhyNot && m_view) m_view->Changed();
        m_lineState.sWhyNot = std::move(sWhyNot);
    }
    if (!m_wire.empty()) m_tTaken = std::min(tUpTo, Now());
}

// Ctrl+Z and its kin: the terminal as it was, then stopped; drawn afresh once continued in the
// foreground.
void CSimulator::Suspend(int nSignal) {
    if (m_view && m_view->Leave()) m_outBuffer.Drain(kEndingWait);
    CSimSignals::StopAs(nSignal);
    if (m_view) m_view->Look();
}

void CSimulator::End(const std::string& sWhy, int nStatus) {
    m_bEnded = true;
    m_sEndedBy = sWhy;
    m_nStatus = nStatus;
}

int CSimulator::Finish() {
    const Clock::time_point tFilesDue = Clock::now() + kFilesWait;
    // The entry goes first, whatever the output is doing.
    std::vector<std::string> failures;  // each told once, in the order they came
    if (m_nStatus != 0) failures.push_back(m_sEndedBy);
    // A run whose trace could not even be created never got going: like a start that failed, it
    // touches no other file, and a plot of that name from before is kept.
    const bool bGotGoing = !Tracing() || !m_trace.OpenFailed();
    m_registration.Unregister(&failures);
    // What the program had written before the end is on its way and reaches the controller, at
    // the line's pace, as it would from a real port whose program has closed it.
    const SimTime tNow = Now();
    ssize_t n = 0;
    for (std::size_t nRead = 0; nRead < kEndingRead && (n = ReadLine(tNow, kEndingRead)) > 0;)
        nRead += static_cast<std::size_t>(n);
    TakeWire(kNever);
    const SimTime tEnd = m_board.Finish(std::max(tNow, m_tLastByte), &m_sinks);
    if (m_view) m_view->Leave();
    m_report.Summary(m_board, tEnd, m_sEndedBy);
    std::string sError;
    // A trace that could not be created has ended the run already, and is told once.
    const auto Fail = [&] {
        if (std::find(failures.begin(), failures.end(), sError) == failures.end())
            failures.push_back(sError);
    };
    // The plot is written whatever became of the trace, while the report drains.
    const std::string sTitle = "plx-ssc-sim" + (m_sCom.empty() ? "" : " " + m_sCom) + ": ";
    if (bGotGoing && !m_options.sPlot.empty() &&
        !m_plot.Write(tEnd, m_board, sTitle + m_rig.Title(), &sError))
        Fail();
    m_outBuffer.Drain(kEndingWait);
    if (Tracing() && !m_trace.Close(tFilesDue, &sError)) Fail();
    if (!m_plot.Close(tFilesDue, &sError)) Fail();
    for (const std::string& sFailure : failures) Tell(sFailure);
    // Within the ending's bounded wait, whoever reads standard error.
    m_errBuffer.Drain(std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   tFilesDue + kEndingWait - Clock::now()),
                               std::chrono::milliseconds(0)));
    return failures.empty() && !m_bLineUnread && !m_bLineUncounted ? 0 : 1;
}

void CSimulator::Tell(const std::string& sFailure) {
    const std::string sLine = "plx-ssc-sim: " + sFailure + "\n";
    m_errBuffer.sputn(sLine.data(), static_cast<std::streamsize>(sLine.size()));
    m_errBuffer.Send();
}

}  // namespace

int PlxRunSimulator(const CSimOptions& options) { return CSimulator(options).Run(); }

#include "sim/report/SimReport.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (std::uint8_t b : bytes) {
        if (!s.empty()) s += ' ';
        s += kDigits[b >> 4];
        s += kDigits[b & 0xF];
    }
    return s;
}

// One decimal, as positions and angles are given.
std::string Fixed1(double d) {
    char sz[32];
    (void)std::snprintf(sz, sizeof(sz), "%.1f", d);
    return sz;
}

std::string Padded(const std::string& s, std::size_t nWidth) {
    return s.size() >= nWidth ? s : std::string(nWidth - s.size(), ' ') + s;
}

// The length of the well-formed UTF-8 sequence at s[i], or 0 when there is none.
std::size_t Utf8Length(const std::string& s, std::size_t i) {
    const auto Byte = [&](std::size_t n) { return static_cast<unsigned char>(s[n]); };
    const unsigned char c = Byte(i);
    std::size_t nLength = 0;
    unsigned char nLow = 0x80;
    unsigned char nHigh = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        nLength = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        nLength = 3;
        if (c == 0xE0) nLow = 0xA0;   // no overlong forms
        if (c == 0xED) nHigh = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        nLength = 4;
        if (c == 0xF0) nLow = 0x90;
        if (c == 0xF4) nHigh = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (i + nLength > s.size() || Byte(i + 1) < nLow || Byte(i + 1) > nHigh) return 0;
    for (std::size_t n = 2; n < nLength; ++n) {
        if (Byte(i + n) < 0x80 || Byte(i + n) > 0xBF) return 0;
    }
    return nLength;
}

}  // namespace

std::string PlxJsonString(const std::string& s) {
    std::string sOut = "\"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            sOut += '\\';
            sOut += static_cast<char>(c);
        } else if (c < 0x20) {
            static const char kDigits[] = "0123456789abcdef";
            sOut += "\\u00";
            sOut += kDigits[c >> 4];
            sOut += kDigits[c & 0xF];
        } else if (c < 0x80) {
            sOut += static_cast<char>(c);
        } else if (const std::size_t nLength = Utf8Length(s, i)) {
            sOut.append(s, i, nLength);
            i += nLength - 1;
        } else {
            // A byte that is no UTF-8 (a path can hold any): the replacement character.
            sOut += "\\ufffd";
        }
    }
    return sOut + "\"";
}

std::string PlxEventLine(const CSscEvent& event, const CSimRig& rig, const std::string& sWhyNot) {
    if (event.bLost)
        return "lost     " +
               (event.kind == CSscEvent::EKind::Dropped
                    ? Hex(event.bytes)
                    : (event.nOutput >= 0 ? rig.Board().OutputWords(event.nOutput)
                                          : "servo " + std::to_string(event.nServo)) +
                          " to " + std::to_string(event.nPosition)) +
               " (the board was restarting after its port was opened)";
    std::string sLine;
    switch (event.kind) {
        case CSscEvent::EKind::Move:
            sLine = "move     " + rig.Board().OutputWords(event.nOutput) + " to " +
                    std::to_string(event.nPosition) + " (" + PlxShortNumber(event.dPulseUs) +
                    " us)";
            break;
        case CSscEvent::EKind::Ignored:
            sLine = "ignored  servo " + std::to_string(event.nServo) + " to " +
                    std::to_string(event.nPosition) + " (" + rig.Board().NotAnswered() + ")";
            break;
        case CSscEvent::EKind::Dropped: {
            const char* const kWhy[] = {" (no sync byte)", " (cut short by a new packet)",
                                        " (cut short: the board began to listen afresh)"};
            sLine = "dropped  " + Hex(event.bytes) + kWhy[static_cast<int>(event.drop)];
            break;
        }
        case CSscEvent::EKind::Detected:
            sLine = "detected " + Hex(event.bytes) + ": the board takes the line at " +
                    std::to_string(event.nBaud) + " baud";
            break;
    }
    if (!sWhyNot.empty()) sLine += "  [not understood: " + sWhyNot + "]";
    return sLine;
}

void CSimReport::Begin(SimTime t, const char* pszEvent) {
    if (m_bJson) {
        m_out << R"({"event":")" << pszEvent << R"(","t":)" << PlxFormatSeconds(t, 6);
    } else {
        const std::string sTime = PlxFormatSeconds(t, 3);
        m_out << Padded(sTime, 9) << "  ";
    }
}

void CSimReport::Ready(const CSimStart& start) {
    const double dSpeed = m_rig.SecondsPer60(PLX_SERVO_MODEL_TABLE[0]);
    Begin(SimTime(0), "ready");
    if (m_bJson) {
        m_out << R"(,"device":)" << PlxJsonString(start.sDevice);
        if (!start.sEntry.empty())
            m_out << R"(,"port":)" << start.nPort << R"(,"entry":)" << PlxJsonString(start.sEntry)
                  << R"(,"replaced":)"
                  << (start.sReplaced.empty() ? "false" : PlxJsonString(start.sReplaced));
        m_out << ',' << m_rig.Board().JsonFields() << R"(,"paced":)"
              << (m_rig.bInstant ? "false" : "true") << R"(,"frame_ms":)"
              << std::chrono::duration_cast<std::chrono::milliseconds>(m_rig.Frame()).count()
              << R"(,"resets_on_open_s":)"
              << (m_rig.dResetS > 0 ? PlxShortNumber(m_rig.dResetS) : std::string("null"))
              << R"(,"volts":)" << m_rig.Volts() << R"(,"models":[)";
        const char* pszComma = "";
        for (const auto& group : m_rig.ModelGroups()) {
            m_out << pszComma << R"({"model":")" << group.first->pszName << R"(","servos":[)";
            for (std::size_t i = 0; i < group.second.size(); ++i)
                m_out << (i ? "," : "") << group.second[i];
            m_out << R"(],"speed_s_per_60":)" << m_rig.SecondsPer60(*group.first)
                  << R"(,"deadband_us":)" << group.first->nDeadBandUs << '}';
            pszComma = ",";
        }
        m_out << "]}\n";
        return;
    }
    m_out << m_rig.Board().Words() << ", listening on " << start.sDevice;
    if (!start.sEntry.empty()) {
        m_out << " as COM" << start.nPort << " (" << start.sEntry << ")";
        if (!start.sReplaced.empty()) m_out << ", replacing " << start.sReplaced;
    }
    if (m_rig.dResetS > 0)
        m_out << "; restarts for " << m_rig.dResetS << " s whenever its port is first opened";
    if (m_rig.bInstant) {
        m_out << "; instant: bytes taken as they come, servos jump\n";
    } else if (!m_rig.bModelsNamed) {
        m_out << "; paced at the line's speed, servos turn 60 degrees in " << dSpeed << " s\n";
    } else {
        // Under --speed the supply changes nothing: the one speed is said once, and each model
        // keeps only its dead band.
        const bool bOneSpeed = m_rig.dSpeed >= 0;
        if (bOneSpeed)
            m_out << "; paced at the line's speed; every servo turns 60 degrees in " << dSpeed
                  << " s:";
        else
            m_out << "; paced at the line's speed; servos at " << m_rig.Volts() << " V:";
        const char* pszComma = "";
        for (const auto& group : m_rig.ModelGroups()) {
            std::string sFigures;
            if (!bOneSpeed)
                sFigures = PlxShortNumber(m_rig.SecondsPer60(*group.first)) + " s per 60 degrees";
            if (group.first->nDeadBandUs > 0)
                sFigures += (sFigures.empty() ? "" : ", ") + std::string("dead band ") +
                            std::to_string(group.first->nDeadBandUs) + " us";
            m_out << pszComma << ' ' << PlxServoList(group.second) << ' ' << group.first->pszName
                  << (sFigures.empty() ? "" : " (" + sFigures + ")");
            pszComma = ",";
        }
        m_out << '\n';
    }
}

void CSimReport::Line(SimTime t, const CLineSettings& line) {
    Begin(t, "line");
    if (m_bJson) {
        m_out << R"(,"settings":)" << PlxJsonString(PlxDescribeLine(line)) << R"(,"baud":)"
              << line.nBaud << R"(,"data":)" << line.nDataBits << R"(,"parity":")" << line.cParity
              << R"(","stop":)" << line.nStopBits << R"(,"raw":)" << (line.bRaw ? "true" : "false")
              << R"(,"vmin":)" << line.nVmin << R"(,"vtime":)" << line.nVtime << "}\n";
    } else {
        m_out << "line     " << PlxDescribeLine(line) << '\n';
    }
}

void CSimReport::Mark(SimTime t, EMark state, pid_t nHolder, const std::string& sCommand) {
    if (state == EMark::Free || state == EMark::Locked) return;
    Begin(t, "mark");
    const char* const kStates[] = {"free", "locked", "open", "unknown", "lifted"};  // as EMark
    if (m_bJson) {
        m_out << R"(,"state":")" << kStates[static_cast<int>(state)] << '"';
        if (state == EMark::Open)
            m_out << R"(,"pid":)" << nHolder << R"(,"command":)" << PlxJsonString(sCommand);
        m_out << "}\n";
        return;
    }
    m_out << "mark     ";
    if (state == EMark::Lifted)
        m_out << "lifted: the line was left marked for one program's use by a program that is gone";
    else if (state == EMark::Open)
        m_out << "the line is marked for one program's use and process " << nHolder << " ("
              << sCommand << ") has it open: left as it is";
    else
        m_out << "the line is marked for one program's use, without its lock, and a process this "
                 "user cannot look at may have it open: left as it is";
    m_out << '\n';
}

void CSimReport::Discipline(SimTime t, const CMarkWatch& marks) {
    const EMark state = marks.DisciplineState();
    if (state == EMark::Free || state == EMark::Locked) return;
    Begin(t, "discipline");
    const std::string sName = marks.DisciplineName();
    if (m_bJson) {
        const char* const kStates[] = {"free", "locked", "open", "unknown", "reset"};  // as EMark
        m_out << R"(,"state":")" << kStates[static_cast<int>(state)] << R"(","discipline":)"
              << marks.Discipline() << R"(,"name":)"
              << (sName.empty() ? std::string("null") : PlxJsonString(sName));
        if (state == EMark::Open)
            m_out << R"(,"pid":)" << marks.Holder() << R"(,"command":)"
                  << PlxJsonString(marks.HolderCommand());
        m_out << "}\n";
        return;
    }
    const std::string sWhich = "line discipline " + std::to_string(marks.Discipline()) +
                               (sName.empty() ? "" : " (" + sName + ")");
    m_out << "discipline ";
    if (state == EMark::Lifted)
        m_out << "set back to the terminal's own: the line was left in " << sWhich
              << " by a program that is gone";
    else if (state == EMark::Open)
        m_out << "the line runs " << sWhich << " and process " << marks.Holder() << " ("
              << marks.HolderCommand() << ") has it open: left as it is";
    else
        m_out << "the line runs " << sWhich
              << ", without its lock, and a process this user cannot look at may have it open: "
                 "left as it is";
    m_out << '\n';
}

namespace {

// ,"bytes":[255,2]
void JsonBytes(std::ostream& out, const std::vector<std::uint8_t>& bytes) {
    out << R"(,"bytes":[)";
    for (std::size_t i = 0; i < bytes.size(); ++i)
        out << (i ? "," : "") << static_cast<int>(bytes[i]);
    out << ']';
}

void JsonEventFields(std::ostream& out, const CSimEvent& e, const CBoardModel& board) {
    const CSscEvent& event = e.event;
    // What was lost is only what came: nothing took it.
    if (event.bLost && event.kind == CSscEvent::EKind::Dropped) {
        JsonBytes(out, event.bytes);
        return;
    }
    if (event.bLost) {
        out << ','
            << (event.nOutput >= 0 ? board.JsonOutput(event.nOutput)
                                   : "\"servo\":" + std::to_string(event.nServo))
            << R"(,"position":)" << event.nPosition;
        return;
    }
    switch (event.kind) {
        case CSscEvent::EKind::Move:
            out << ',' << board.JsonOutput(event.nOutput) << R"(,"position":)" << event.nPosition
                << R"(,"pulse_us":)" << PlxShortNumber(event.dPulseUs);
            break;
        case CSscEvent::EKind::Ignored:
            out << R"(,"servo":)" << event.nServo << R"(,"position":)" << event.nPosition;
            break;
        case CSscEvent::EKind::Dropped: {
            const char* const kReasons[] = {"no sync", "new packet", "cut short"};  // as EDrop
            JsonBytes(out, event.bytes);
            out << R"(,"reason":")" << kReasons[static_cast<int>(event.drop)] << '"';
            break;
        }
        case CSscEvent::EKind::Detected:
            JsonBytes(out, event.bytes);
            out << R"(,"baud":)" << event.nBaud;
            break;
    }
    out << R"(,"understood":)" << (e.sWhyNot.empty() ? "true" : "false");
    if (!e.sWhyNot.empty()) out << R"(,"why":)" << PlxJsonString(e.sWhyNot);
    if (!e.IsMove()) return;
    if (e.bSuperseded) {
        out << R"(,"superseded":true)";
        return;
    }
    out << R"(,"begins":)" << PlxFormatSeconds(e.tBegins, 6) << R"(,"from":)" << Fixed1(e.dFrom)
        << R"(,"from_assumed":)" << (e.bFromNeutral ? "true" : "false") << R"(,"arrives":)"
        << PlxFormatSeconds(e.tArrives, 6);
    if (e.bWithinDeadBand) out << R"(,"within_deadband":true)";
}

// What became of a move, after the words of its packet: its servo's model where the rig names
// models, then whether and how the shaft turns.
std::string MoveWords(const CSimEvent& e, const CSimRig& rig) {
    const std::string sModel =
        rig.bModelsNamed ? std::string(" ") + rig.Model(e.event.nOutput).pszName : std::string();
    if (e.bSuperseded) return sModel + ", overtaken by the next command before its frame";
    const std::string sFrom =
        Fixed1(e.dFrom) + (e.bFromNeutral ? " (neutral: never commanded before)" : "");
    if (e.bWithinDeadBand)
        return sModel + ", within dead band: stays at " + sFrom + " from " +
               PlxFormatSeconds(e.tBegins, 3);
    return sModel + ", turns from " + sFrom + " at " + PlxFormatSeconds(e.tBegins, 3) +
           ", there at " + PlxFormatSeconds(e.tArrives, 3);
}

}  // namespace

void CSimReport::OnEvent(const CSimEvent& e) {
    const char* const kNames[] = {"move", "ignored", "dropped", "detected"};  // as EKind
    Begin(e.event.t, e.event.bLost ? "lost" : kNames[static_cast<int>(e.event.kind)]);
    if (m_bJson) {
        JsonEventFields(m_out, e, m_rig.Board());
        if (e.event.kind == CSscEvent::EKind::Move && !e.event.bLost)
            m_out << R"(,"model":")" << m_rig.Model(e.event.nOutput).pszName << '"';
        m_out << R"(,"behind":)" << PlxFormatSeconds(e.event.tBehind, 3)
              << (e.event.bBehindFloor ? R"(,"behind_floor":true)" : "") << R"(,"queued":)"
              << PlxFormatSeconds(e.event.tQueued, 3)
              << (e.event.bQueuedFloor ? R"(,"queued_floor":true)" : "") << "}\n";
    } else {
        const std::string sBehind = PlxWaitWords("behind", e.event.tBehind, e.event.bBehindFloor);
        m_out << PlxEventLine(e.event, m_rig, e.sWhyNot) << (e.IsMove() ? MoveWords(e, m_rig) : "")
              << (sBehind.empty() ? "" : "; " + sBehind) << '\n';
    }
}

void CSimReport::OnRestart(SimTime t, SimTime tUntil) {
    Begin(t, "restart");
    if (m_bJson)
        m_out << R"(,"until":)" << PlxFormatSeconds(tUntil, 6) << "}\n";
    else
        m_out << "restart  its port was opened: the board restarts, no output puts out a pulse, "
                 "and it takes nothing until "
              << PlxFormatSeconds(tUntil, 3) << '\n';
}

std::string PlxWaitWords(const char* pszWhat, SimTime tWait, bool bFloor) {
    if (tWait <= std::chrono::milliseconds(100)) return std::string();
    return std::string(pszWhat) + (bFloor ? " at least " : " ") + PlxFormatSeconds(tWait, 2) + " s";
}

void CSimReport::Summary(const CServoBoard& board, SimTime tEnd, const std::string& sEndedBy) {
    const CBoardModel& model = m_rig.Board();
    Begin(tEnd, "end");
    if (m_bJson) {
        m_out << R"(,"by":)" << PlxJsonString(sEndedBy) << R"(,"servos":[)";
        for (int n = 0; n < model.Outputs(); ++n) {
            const int nPosition = board.Commanded(n);
            m_out << (n > 0 ? "," : "") << '{' << model.JsonOutput(n);
            if (nPosition < 0) {
                m_out << R"(,"position":null,"pulse_us":null)";
            } else {
                m_out << R"(,"position":)" << nPosition << R"(,"pulse_us":)"
                      << model.PulseText(nPosition);
            }
            m_out << R"(,"shaft":)" << Fixed1(board.ShaftAt(n, tEnd)) << R"(,"shaft_assumed":)"
                  << (board.ShaftKnown(n) ? "false" : "true") << R"(,"moves":)" << board.Moves(n)
                  << '}';
        }
        m_out << R"(],"not_understood":)" << board.NotUnderstood() << R"(,"lost":)" << board.Lost()
              << R"(,"behind_max":)";
        if (board.AnyEvent())
            m_out << PlxFormatSeconds(board.MostBehind(), 3) << R"(,"behind_max_t":)"
                  << PlxFormatSeconds(board.MostBehindAt(), 6)
                  << (board.MostBehindFloor() ? R"(,"behind_floor":true)" : "") << "}\n";
        else
            m_out << R"(null,"behind_max_t":null})" << '\n';
        return;
    }
    // A board that numbers its outputs apart from the servos (the Maestro's channels) has a column
    // for them; pulses to a fraction of a microsecond widen theirs.
    const char* const pszKind = model.OutputKind();
    const std::size_t nKind = pszKind != nullptr ? std::string(pszKind).size() + 2 : 0;
    const std::size_t nPulse = std::max<std::size_t>(10, model.PulseChars() + 5);
    m_out << "ended by " << sEndedBy << "; last positions:\n";
    m_out << "servo" << (pszKind != nullptr ? Padded(pszKind, nKind) : "") << Padded("position", 10)
          << Padded("pulse", nPulse) << Padded("shaft", 10) << Padded("moves", 10) << '\n';
    for (int n = 0; n < model.Outputs(); ++n) {
        const int nPosition = board.Commanded(n);
        const bool bSeen = nPosition >= 0;
        const std::string sShaft = Fixed1(board.ShaftAt(n, tEnd));
        m_out << Padded(std::to_string(model.ServoOf(n)), 5)
              << (pszKind != nullptr ? Padded(std::to_string(model.OutputNumber(n)), nKind) : "")
              << Padded(bSeen ? std::to_string(nPosition) : "-", 10)
              << Padded(bSeen ? model.PulseText(nPosition) + " us" : "-", nPulse)
              << Padded(board.ShaftKnown(n) ? sShaft : "(" + sShaft + ")", 10)
              << Padded(std::to_string(board.Moves(n)), 10) << '\n';
    }
    // What a real controller would not have followed moved nothing, and is counted apart.
    if (board.NotUnderstood() > 0)
        m_out << board.NotUnderstood() << (board.NotUnderstood() == 1 ? " packet" : " packets")
              << " not understood by the controller (not counted as moves)\n";
    if (board.Lost() > 0)
        m_out << board.Lost() << (board.Lost() == 1 ? " packet" : " packets")
              << " lost while the board restarted after its port was opened\n";
    if (board.AnyEvent())
        m_out << "most behind: " << (board.MostBehindFloor() ? "at least " : "")
              << PlxFormatSeconds(board.MostBehind(), 2) << " s, at "
              << PlxFormatSeconds(board.MostBehindAt(), 3) << '\n';
}

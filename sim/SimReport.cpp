#include "sim/SimReport.h"

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

std::string ServoSpan(int nFirstServo) {
    return std::to_string(nFirstServo) + "-" +
           std::to_string(nFirstServo + CSscDecoder::SERVOS - 1);
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

std::string PlxEventLine(const CSscEvent& event, int nFirstServo, const std::string& sWhyNot) {
    std::string sLine;
    switch (event.kind) {
        case CSscEvent::EKind::Move:
            sLine = "move     servo " + std::to_string(event.nServo) + " to " +
                    std::to_string(event.nPosition) + " (" + std::to_string(event.nPulseUs) +
                    " us)";
            break;
        case CSscEvent::EKind::Ignored:
            sLine = "ignored  servo " + std::to_string(event.nServo) + " to " +
                    std::to_string(event.nPosition) + " (not one of servos " +
                    ServoSpan(nFirstServo) + ")";
            break;
        case CSscEvent::EKind::Dropped:
            sLine = "dropped  " + Hex(event.bytes) +
                    (event.bNewPacket ? " (cut short by a new packet)" : " (no sync byte)");
            break;
    }
    if (!sWhyNot.empty()) sLine += "  [not understood: " + sWhyNot + "]";
    return sLine;
}

void CSimReport::Flush() {
    m_out << '\n';
    m_out.flush();  // a reader on a pipe sees each event as it happens
}

void CSimReport::Ready(const std::string& sDevice, std::int32_t nPort, const std::string& sEntry,
                       bool bReplaced, std::uint32_t nBaud, int nFirstServo, int nRange) {
    if (m_bJson) {
        m_out << R"({"event":"ready","device":)" << PlxJsonString(sDevice);
        if (!sEntry.empty())
            m_out << R"(,"port":)" << nPort << R"(,"entry":)" << PlxJsonString(sEntry)
                  << R"(,"replaced":)" << (bReplaced ? "true" : "false");
        m_out << R"(,"baud":)" << nBaud << R"(,"servos":[)" << nFirstServo << ','
              << nFirstServo + CSscDecoder::SERVOS - 1 << R"(],"range":)" << nRange << '}';
    } else {
        m_out << "MINI-SSC II at " << nBaud << " baud, servos " << ServoSpan(nFirstServo) << ", "
              << nRange << " degrees, listening on " << sDevice;
        if (!sEntry.empty()) {
            m_out << " as COM" << nPort << " (" << sEntry << ")";
            if (bReplaced) m_out << ", replacing an entry that pointed nowhere";
        }
    }
    Flush();
}

void CSimReport::Line(const CLineSettings& line) {
    if (m_bJson) {
        m_out << R"({"event":"line","settings":)" << PlxJsonString(PlxDescribeLine(line))
              << R"(,"baud":)" << line.nBaud << R"(,"data":)" << line.nDataBits << R"(,"parity":")"
              << line.cParity << R"(","stop":)" << line.nStopBits << R"(,"raw":)"
              << (line.bRaw ? "true" : "false") << R"(,"vmin":)" << line.nVmin << R"(,"vtime":)"
              << line.nVtime << '}';
    } else {
        m_out << "line     " << PlxDescribeLine(line);
    }
    Flush();
}

void CSimReport::Event(const CSscEvent& event, int nFirstServo, const std::string& sWhyNot) {
    if (m_bJson) {
        switch (event.kind) {
            case CSscEvent::EKind::Move:
                m_out << R"({"event":"move","servo":)" << event.nServo << R"(,"position":)"
                      << event.nPosition << R"(,"pulse_us":)" << event.nPulseUs;
                break;
            case CSscEvent::EKind::Ignored:
                m_out << R"({"event":"ignored","servo":)" << event.nServo << R"(,"position":)"
                      << event.nPosition;
                break;
            case CSscEvent::EKind::Dropped: {
                m_out << R"({"event":"dropped","bytes":[)";
                for (std::size_t i = 0; i < event.bytes.size(); ++i)
                    m_out << (i ? "," : "") << static_cast<int>(event.bytes[i]);
                m_out << R"(],"reason":)"
                      << (event.bNewPacket ? R"("new packet")" : R"("no sync")");
                break;
            }
        }
        m_out << R"(,"understood":)" << (sWhyNot.empty() ? "true" : "false");
        if (!sWhyNot.empty()) m_out << R"(,"why":)" << PlxJsonString(sWhyNot);
        m_out << '}';
    } else {
        m_out << PlxEventLine(event, nFirstServo, sWhyNot);
    }
    Flush();
}

void CSimReport::Summary(const CServoBoard& board, const std::string& sEndedBy) {
    if (m_bJson) {
        m_out << R"({"event":"end","by":)" << PlxJsonString(sEndedBy) << R"(,"servos":[)";
        for (int i = 0; i < CSscDecoder::SERVOS; ++i) {
            const int nPosition = board.Position(i);
            m_out << (i ? "," : "") << R"({"servo":)" << board.FirstServo() + i;
            if (nPosition < 0) {
                m_out << R"(,"position":null,"pulse_us":null)";
            } else {
                m_out << R"(,"position":)" << nPosition << R"(,"pulse_us":)"
                      << CSscDecoder::PulseWidthUs(nPosition, board.Range());
            }
            m_out << R"(,"moves":)" << board.Moves(i) << '}';
        }
        m_out << R"(],"not_understood":)" << board.NotUnderstood() << '}';
        Flush();
        return;
    }
    m_out << "ended by " << sEndedBy << "; last positions:\n";
    m_out << "servo  position     pulse     moves\n";
    for (int i = 0; i < CSscDecoder::SERVOS; ++i) {
        const int nPosition = board.Position(i);
        const bool bSeen = nPosition >= 0;
        m_out << Padded(std::to_string(board.FirstServo() + i), 5)
              << Padded(bSeen ? std::to_string(nPosition) : "-", 10)
              << Padded(bSeen
                            ? std::to_string(CSscDecoder::PulseWidthUs(nPosition, board.Range())) +
                                  " us"
                            : "-",
                        10)
              << Padded(std::to_string(board.Moves(i)), 10);
        if (i + 1 < CSscDecoder::SERVOS) m_out << '\n';
    }
    // What a real controller would not have followed moved nothing, and is counted apart.
    if (board.NotUnderstood() > 0)
        m_out << "\n"
              << board.NotUnderstood() << (board.NotUnderstood() == 1 ? " packet" : " packets")
              << " not understood by the controller (not counted as moves)";
    Flush();
}

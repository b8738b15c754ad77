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

}  // namespace

std::string PlxJsonString(const std::string& s) {
    std::string sOut = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            sOut += '\\';
            sOut += static_cast<char>(c);
        } else if (c < 0x20) {
            static const char kDigits[] = "0123456789abcdef";
            sOut += "\\u00";
            sOut += kDigits[c >> 4];
            sOut += kDigits[c & 0xF];
        } else {
            sOut += static_cast<char>(c);
        }
    }
    return sOut + "\"";
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
        switch (event.kind) {
            case CSscEvent::EKind::Move:
                m_out << "move     servo " << event.nServo << " to " << event.nPosition << " ("
                      << event.nPulseUs << " us)";
                break;
            case CSscEvent::EKind::Ignored:
                m_out << "ignored  servo " << event.nServo << " to " << event.nPosition
                      << " (not one of servos " << ServoSpan(nFirstServo) << ")";
                break;
            case CSscEvent::EKind::Dropped:
                m_out << "dropped  " << Hex(event.bytes)
                      << (event.bNewPacket ? " (cut short by a new packet)" : " (no sync byte)");
                break;
        }
        if (!sWhyNot.empty()) m_out << "  [not understood: " << sWhyNot << "]";
    }
    Flush();
}

void CSimReport::Summary(const CSscDecoder& decoder, const std::string& sEndedBy) {
    const auto& positions = decoder.Positions();
    if (m_bJson) {
        m_out << R"({"event":"end","by":)" << PlxJsonString(sEndedBy) << R"(,"servos":[)";
        for (int i = 0; i < CSscDecoder::SERVOS; ++i) {
            m_out << (i ? "," : "") << R"({"servo":)" << decoder.FirstServo() + i;
            if (positions[i] < 0) {
                m_out << R"(,"position":null,"pulse_us":null})";
            } else {
                m_out << R"(,"position":)" << positions[i] << R"(,"pulse_us":)"
                      << CSscDecoder::PulseWidthUs(positions[i], decoder.Range()) << '}';
            }
        }
        m_out << "]}";
        Flush();
        return;
    }
    m_out << "ended by " << sEndedBy << "; last positions:\n";
    m_out << "servo  position     pulse\n";
    for (int i = 0; i < CSscDecoder::SERVOS; ++i) {
        const bool bSeen = positions[i] >= 0;
        m_out << Padded(std::to_string(decoder.FirstServo() + i), 5)
              << Padded(bSeen ? std::to_string(positions[i]) : "-", 10)
              << Padded(bSeen ? std::to_string(
                                    CSscDecoder::PulseWidthUs(positions[i], decoder.Range())) +
                                    " us"
                              : "-",
                        10);
        if (i + 1 < CSscDecoder::SERVOS) m_out << '\n';
    }
    Flush();
}

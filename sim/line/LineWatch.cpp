#include "sim/line/LineWatch.h"

#include "serial/CommTermios.h"

namespace {

void Note(std::string* pList, bool bOn, const char* pszName) {
    if (!bOn) return;
    if (!pList->empty()) *pList += ' ';
    *pList += pszName;
}

}  // namespace

bool CLineSettings::operator==(const CLineSettings& o) const {
    return nBaud == o.nBaud && nDataBits == o.nDataBits && cParity == o.cParity &&
           nStopBits == o.nStopBits && bRaw == o.bRaw && bAltersOutput == o.bAltersOutput &&
           nVmin == o.nVmin && nVtime == o.nVtime && sProcessing == o.sProcessing;
}

CLineSettings PlxReadLineSettings(const termios& tio) {
    CLineSettings line;
    CCommState state;
    PlxCommStateFromTermios(tio, &state);
    line.nBaud = state.BaudRate;
    line.nDataBits = state.ByteSize;
    line.cParity = "NOEMS"[static_cast<int>(state.Parity)];  // in the order of EParity
    line.nStopBits = state.StopBits == EStopBits::Two ? 2 : 1;
    const bool bOpost = (tio.c_oflag & OPOST) != 0;
    const tcflag_t kAltering = ONLCR | OCRNL | ONOCR | OLCUC;
    line.bAltersOutput =
        bOpost && ((tio.c_oflag & kAltering) != 0 || (tio.c_oflag & TABDLY) == XTABS);
    Note(&line.sProcessing, bOpost, "opost");
    Note(&line.sProcessing, bOpost && (tio.c_oflag & ONLCR), "onlcr");
    Note(&line.sProcessing, bOpost && (tio.c_oflag & OCRNL), "ocrnl");
    Note(&line.sProcessing, (tio.c_iflag & ICRNL) != 0, "icrnl");
    Note(&line.sProcessing, (tio.c_iflag & (IXON | IXOFF)) != 0, "ixon");
    Note(&line.sProcessing, (tio.c_cflag & CRTSCTS) != 0, "crtscts");
    Note(&line.sProcessing, (tio.c_lflag & ICANON) != 0, "icanon");
    Note(&line.sProcessing, (tio.c_lflag & ECHO) != 0, "echo");
    Note(&line.sProcessing, (tio.c_lflag & ISIG) != 0, "isig");
    line.bRaw = line.sProcessing.empty();
    line.nVmin = tio.c_cc[VMIN];
    line.nVtime = tio.c_cc[VTIME];
    return line;
}

std::string PlxDescribeLine(const CLineSettings& line) {
    std::string s = (line.nBaud ? std::to_string(line.nBaud) : std::string("?")) + " " +
                    std::to_string(line.nDataBits) + line.cParity + std::to_string(line.nStopBits);
    s += line.bRaw ? " raw" : " cooked (" + line.sProcessing + ")";
    return s + " VMIN=" + std::to_string(line.nVmin) + " VTIME=" + std::to_string(line.nVtime);
}

std::string PlxWhyNotUnderstood(const CLineSettings& line, std::uint32_t nJumperBaud) {
    std::string sWhy;
    if (line.nBaud != nJumperBaud)
        sWhy = "line at " + std::to_string(line.nBaud) + " baud, controller at " +
               std::to_string(nJumperBaud);
    if (line.nDataBits != 8 || line.cParity != 'N' || line.nStopBits != 1)
        sWhy += std::string(sWhy.empty() ? "" : "; ") + "line not 8N1";
    if (line.bAltersOutput)
        sWhy += std::string(sWhy.empty() ? "" : "; ") + "output processing alters bytes";
    return sWhy;
}

#include "serial/CommPort.h"

#include "serial/UserApi.h"

const char* const PLX_OPEN_FAILURE_CAPTION = "Windows Communications Error";

namespace {

// Driver advice only; the controller's 3-byte commands never come near it.
constexpr std::uint32_t kQueueSize = 1024;
// How long a read waits for the controller; the program never reads, but the line is ready to.
constexpr std::uint32_t kReadTimeoutMs = 200;

void ReportOpenFailure(std::int32_t nPort, int nError) {
    // The help after the box reads the reason as the last error, whatever the calls since the
    // failure (a close on the way out) left there.
    PlxSetLastError(nError);
    PlxMessageBox(PlxFormatOpenFailure(nPort, PlxFormatMessage(nError)), PLX_OPEN_FAILURE_CAPTION);
    PlxExplainOpenFailure(nPort);
}

}  // namespace

std::string PlxFormatModeString(std::int32_t nPort, std::int32_t nBaudRate) {
    return "COM" + std::to_string(nPort) + ": baud=" + std::to_string(nBaudRate) +
           " parity=N data=8 stop=1 TO=OFF";
}

std::string PlxFormatOpenFailure(std::int32_t nPort, const std::string& sSystemText) {
    return "Windows reported the following error while attempting to open communication port " +
           std::to_string(nPort) + ":\n\n\t" + sSystemText +
           "\nPLX operation will continue without communication port access.\n"
           "Resolve the error and restart PLX.";
}

CCommPort::CCommPort(std::int32_t nPort, std::int32_t nBaudRate)
    : m_nPort(nPort), m_nBaudRate(nBaudRate), m_hComm(HCOMM_NULL) {}

CCommPort::~CCommPort() { Close(); }

bool CCommPort::Close() {
    if (m_hComm == HCOMM_NULL || m_hComm == HCOMM_INVALID) return true;
    const bool bClosed = PlxCloseHandle(m_hComm);
    m_hComm = HCOMM_NULL;
    return bClosed;
}

bool CCommPort::Open() {
    const std::string sPort = "COM" + std::to_string(m_nPort);
    m_hComm = PlxCreateFile(sPort.c_str());
    if (m_hComm == HCOMM_INVALID) {
        ReportOpenFailure(m_nPort, PlxGetLastError());
        return false;
    }

    PlxSetupComm(m_hComm, kQueueSize, kQueueSize);  // advice; a port that ignores it still works
    CCommState state{};
    CCommTimeouts timeouts{};
    const std::string sMode = PlxFormatModeString(m_nPort, m_nBaudRate);
    // A line that is not what the controller listens for would garble every command, so it is
    // refused like a port that does not open.
    bool bSetUp = PlxGetCommState(m_hComm, &state) &&
                  PlxBuildCommDCBAndTimeouts(sMode.c_str(), &state, &timeouts);
    if (bSetUp) {
        timeouts.ReadTotalTimeoutConstant = kReadTimeoutMs;
        bSetUp = PlxSetCommState(m_hComm, state) && PlxSetCommTimeouts(m_hComm, timeouts);
    }
    if (!bSetUp) {
        const int nError = PlxGetLastError();
        PlxCloseHandle(m_hComm);
        m_hComm = HCOMM_INVALID;
        ReportOpenFailure(m_nPort, nError);
        return false;
    }
    return true;
}

// Not const: writing changes the port, if not this object.
// NOLINTNEXTLINE(readability-make-member-function-const)
std::uint32_t CCommPort::Write(const void* pData, std::uint32_t nLength) {
    std::uint32_t nWritten = 0;
    PlxWriteFile(m_hComm, pData, nLength, &nWritten);
    return nWritten;
}

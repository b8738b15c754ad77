#include "sim/SimTrace.h"

#include <cerrno>

#include "serial/CommApi.h"

CSimTrace::~CSimTrace() {
    if (m_pFile != nullptr) (void)std::fclose(m_pFile);
}

bool CSimTrace::Open(const std::string& sPath, std::string* pError) {
    m_sPath = sPath;
    m_pFile = std::fopen(sPath.c_str(), "we");
    if (m_pFile == nullptr) {
        *pError = "cannot write " + sPath + ": " + PlxFormatMessage(errno);
        return false;
    }
    if (std::fputs("t,servo,commanded,pulse_us,angle_deg\n", m_pFile) < 0) Fail();
    return true;
}

void CSimTrace::Fail() {
    if (m_nError == 0) m_nError = errno != 0 ? errno : EIO;
}

void CSimTrace::OnSample(const CMotionSample& sample) {
    if (m_pFile == nullptr || m_nError != 0) return;
    errno = 0;
    if (std::fprintf(m_pFile, "%.6f,%d,%d,%d,%.1f\n", PlxSeconds(sample.t), sample.nServo,
                     sample.nCommanded, CSscDecoder::PulseWidthUs(sample.nCommanded, m_nRange),
                     PlxServoAngle(sample.dPosition, m_nRange)) < 0)
        Fail();
    m_bUnflushed = true;
}

void CSimTrace::Flush() {
    if (!m_bUnflushed || m_pFile == nullptr) return;
    m_bUnflushed = false;
    errno = 0;
    if (std::fflush(m_pFile) != 0) Fail();
}

bool CSimTrace::Close(std::string* pError) {
    if (m_pFile == nullptr) return true;
    errno = 0;
    if (std::fclose(m_pFile) != 0) Fail();
    m_pFile = nullptr;
    if (m_nError == 0) return true;
    *pError = "cannot write " + m_sPath + ": " + PlxFormatMessage(m_nError);
    return false;
}

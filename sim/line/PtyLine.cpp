#include "sim/line/PtyLine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "serial/CommApi.h"

CPtyLine::~CPtyLine() {
    if (m_slave >= 0) ::close(m_slave);
    CloseMaster();
}

bool CPtyLine::Open(std::string* pError) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char szName[128];
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
        ::ptsname_r(m_master, szName, sizeof(szName)) != 0) {
        *pError = "cannot open a pseudo-terminal: " + PlxFormatMessage(errno);
        return false;
    }
    m_sDevice = szName;
    m_slave = ::open(szName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        *pError = "cannot open " + m_sDevice + ": " + PlxFormatMessage(errno);
        return false;
    }
    return true;
}

void CPtyLine::CloseMaster() {
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}

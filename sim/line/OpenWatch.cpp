#include "sim/line/OpenWatch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "serial/CommApi.h"
#include "sim/line/MarkWatch.h"

COpenWatch::~COpenWatch() {
    if (m_fd >= 0) ::close(m_fd);
}

bool COpenWatch::Open(const std::string& sDevice, std::string* pError) {
    m_sDevice = sDevice;
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0 || ::inotify_add_watch(m_fd, sDevice.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        *pError =
            "cannot watch " + sDevice + " for programs that open it: " + PlxFormatMessage(errno);
        return false;
    }
    return true;
}

bool COpenWatch::FirstOpened() {
    alignas(inotify_event) char buf[4096];
    bool bFirst = false;
    bool bClosed = false;
    for (ssize_t n = 0; m_fd >= 0 && (n = ::read(m_fd, buf, sizeof(buf))) > 0;) {
        for (std::size_t nAt = 0; nAt + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
            inotify_event event;
            std::memcpy(&event, buf + nAt, sizeof(event));
            nAt += sizeof(event) + event.len;
            if (event.mask & IN_Q_OVERFLOW) {
                m_nOpen = -1;  // opens and closes were lost: not known until none is seen
            } else if (event.mask & IN_OPEN) {
                bFirst = bFirst || m_nOpen == 0;
                if (m_nOpen >= 0) ++m_nOpen;
            } else if (event.mask & IN_CLOSE) {
                bClosed = true;
                if (m_nOpen > 0) --m_nOpen;
            }
        }
    }
    // Once the count is lost, a look at every process's open files finds it again when nobody but
    // the simulator has the line.
    struct stat st;
    if (m_nOpen < 0 && bClosed && ::stat(m_sDevice.c_str(), &st) == 0 &&
        PlxLineHolder(st.st_rdev, "/proc") == 0)
        m_nOpen = 0;
    return bFirst;
}

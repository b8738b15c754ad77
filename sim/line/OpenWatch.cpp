#include "sim/line/OpenWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "serial/CommApi.h"

COpenWatch::~COpenWatch() {
    if (m_fd >= 0) ::close(m_fd);
}

bool COpenWatch::Open(const std::string& sDevice, std::string* pError) {
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0 || ::inotify_add_watch(m_fd, sDevice.c_str(), IN_OPEN) < 0) {
        *pError =
            "cannot watch " + sDevice + " for programs that open it: " + PlxFormatMessage(errno);
        return false;
    }
    return true;
}

// Not const: reading takes what the kernel told, for the next call not to see it again.
// NOLINTNEXTLINE(readability-make-member-function-const)
bool COpenWatch::Opened() {
    // Every event is an open: the watch asks for nothing else.
    alignas(inotify_event) char buf[4096];
    bool bOpened = false;
    while (m_fd >= 0 && ::read(m_fd, buf, sizeof(buf)) > 0) bOpened = true;
    return bOpened;
}

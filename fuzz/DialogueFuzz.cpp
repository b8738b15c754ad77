// The dialogue fed arbitrary bytes after the port number, with a pseudo-terminal as COM5. It must
// end at the end of its input, report no failed writes, and put nothing on the line but 3-byte
// packets that start with 0xFF. (The port number is fixed so that no input can name a port that
// falls back to the machine's own serial devices.)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "console/ServoTest.h"

namespace {

struct CLine {
    int master = -1;
    int slave = -1;
    unsigned long long nBytesSeen = 0;  // across runs: the packets stay aligned to 3 bytes

    CLine() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char szSlave[128];
        char szDir[] = "/tmp/plx-fuzz-XXXXXX";
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, szSlave, sizeof(szSlave)) != 0 || ::mkdtemp(szDir) == nullptr)
            std::abort();
        slave = ::open(szSlave, O_RDWR | O_NOCTTY | O_CLOEXEC);  // the line stays up between runs
        const std::string sDir = szDir;
        if (::mkdir((sDir + "/plx").c_str(), 0700) != 0 ||
            ::mkdir((sDir + "/plx/ports").c_str(), 0700) != 0 ||
            ::symlink(szSlave, (sDir + "/plx/ports/com5").c_str()) != 0)
            std::abort();
        ::setenv("XDG_CONFIG_HOME", szDir, 1);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
    }

    void CheckWhatArrived() {
        unsigned char buf[4096];
        for (;;) {
            const ssize_t n = ::read(master, buf, sizeof(buf));
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i, ++nBytesSeen)
                if (nBytesSeen % 3 == 0 && buf[i] != 0xFF) std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    static CLine line;
    std::istringstream in("5\n" + std::string(reinterpret_cast<const char*>(pData), nSize));
    std::ostringstream out;
    std::ostringstream err;
    if (RunServoTest(in, out, err) != 0 || !err.str().empty()) std::abort();
    line.CheckWhatArrived();
    return 0;
}

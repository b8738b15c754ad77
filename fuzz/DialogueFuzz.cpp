// The dialogue fed arbitrary bytes after the port number, with a pseudo-terminal as COM5. It must
// end at the end of its input, report no failed writes, end with status 1 only when the input
// ended halfway through a pair, and say so then, and put nothing on the line but 3-byte packets
// that start with 0xFF. (The port number is fixed so that no input can name a port that
// falls back to the machine's own serial devices.)
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "console/ServoDialogue.h"
#include "serial/PortMap.h"
#include "sim/line/PortRegistration.h"
#include "sim/line/PtyLine.h"

namespace {

struct CLine {
    CPtyLine pty;  // holds the slave too, so the line stays up between runs
    CPortRegistration registration;
    unsigned long long nBytesSeen = 0;  // across runs: the packets stay aligned to 3 bytes

    CLine() {
        // Under TMPDIR: fuzz/run points it at a scratch folder it removes, since libFuzzer
        // ends without running this destructor.
        const char* pszTmp = std::getenv("TMPDIR");
        std::string sDir = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/plx-fuzz-XXXXXX";
        std::string sError;
        std::string sReplaced;
        if (::mkdtemp(sDir.data()) == nullptr || !pty.Open(&sError)) std::abort();
        ::setenv("XDG_CONFIG_HOME", sDir.c_str(), 1);
        if (!registration.Register(PlxPortMapDirectory(), 5, pty.Device(), &sReplaced, &sError))
            std::abort();
        ::fcntl(pty.Master(), F_SETFL, O_NONBLOCK);
    }

    void CheckWhatArrived() {
        unsigned char buf[4096];
        for (;;) {
            const ssize_t n = ::read(pty.Master(), buf, sizeof(buf));
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
    const int nStatus = RunServoDialogue(in, out, err);
    const std::string sOut = out.str();
    const std::size_t nLast = sOut.rfind('\n', sOut.size() < 2 ? 0 : sOut.size() - 2);
    const bool bHalfAPair =
        nLast != std::string::npos &&
        sOut.find("The input ended before the position for servo ", nLast) != std::string::npos;
    if (nStatus != (bHalfAPair ? 1 : 0) || !err.str().empty()) std::abort();
    line.CheckWhatArrived();
    return 0;
}

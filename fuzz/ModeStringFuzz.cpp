// The platform layer's mode-string parser on arbitrary text: on failure it changes nothing and
// says EINVAL; on success every setting is one a line can have.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial/CommApi.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    const std::string sMode(reinterpret_cast<const char*>(pData), nSize);  // stops at a NUL
    CCommState state;
    state.BaudRate = 1234;
    state.ByteSize = 7;
    CCommTimeouts timeouts;
    timeouts.ReadTotalTimeoutConstant = 77;
    const CCommState before = state;
    if (!PlxBuildCommDCBAndTimeouts(sMode.c_str(), &state, &timeouts)) {
        if (PlxGetLastError() != EINVAL || std::memcmp(&state, &before, sizeof(state)) != 0 ||
            timeouts.ReadTotalTimeoutConstant != 77)
            std::abort();
        return 0;
    }
    if ((state.BaudRate != 1234 && (state.BaudRate < 50 || state.BaudRate > 4000000)) ||
        state.ByteSize < 5 || state.ByteSize > 8 || state.Parity > EParity::Space ||
        state.StopBits > EStopBits::Two)
        std::abort();
    return 0;
}

// Where the port layer looks at the machine: the live system by default, a fake one in tests.
#pragma once

#ifdef _WIN32
// Windows answers through its own calls (the registry, SetupAPI): there is nowhere else to look.
struct CSystemRoots {};
#else
#include <functional>
#include <string>

// Where the kernel shows devices and processes.
struct CSystemRoots {
    std::string sSys = "/sys";
    std::string sProc = "/proc";
    std::string sDev = "/dev";
    // The look at one process: the start of its stat line, false when it is gone. Empty: read
    // sProc/<pid>/stat. A test answers each look itself, to be a process that changes between
    // two looks.
    std::function<bool(const std::string& sPid, std::string* pStat)> lookAtProcess;
};
#endif

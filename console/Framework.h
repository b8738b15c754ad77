// What stands for the Windows class framework the tool was first written on: an application
// object and a start-up call. The dialogue uses nothing of it but the start-up's result.
#pragma once

class CWinApp {
public:
    explicit CWinApp(const char* pszAppName = nullptr) : m_pszAppName(pszAppName) {}
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    const char* m_pszAppName;
};

// True when the process can hold its dialogue: standard input, output and error are open. That
// also keeps the serial port's descriptor off 0, 1 and 2.
bool AfxWinInit();

// A helper for the tests that drive the Windows program under Wine, run beside it:
//   plx-win-helper box CAPTION    prints the caption and the text of each control of the
//                                  top-level window with that caption, one per line, as a person
//                                  reads them; exit 1 when there is no such window
//   plx-win-helper nostdin EXE    runs EXE with no standard input handle at all, its output and
//                                  error on ours; exits with its status
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

BOOL CALLBACK PrintText(HWND hWnd, LPARAM /*lParam*/) {
    char szText[4096];
    if (GetWindowTextA(hWnd, szText, sizeof(szText)) > 0) std::printf("%s\n", szText);
    return TRUE;
}

int PrintBox(const char* pszCaption) {
    const HWND hBox = FindWindowA(nullptr, pszCaption);
    if (hBox == nullptr) return 1;
    std::printf("%s\n", pszCaption);
    EnumChildWindows(hBox, PrintText, 0);
    return 0;
}

int RunWithoutInput(char* pszExe) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, pszExe, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        return 126;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD nStatus = 127;
    GetExitCodeProcess(process.hProcess, &nStatus);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(nStatus);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "box") == 0) return PrintBox(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "nostdin") == 0) return RunWithoutInput(argv[2]);
    std::fprintf(stderr, "usage: plx-win-helper box CAPTION | nostdin EXE\n");
    return 2;
}

// A helper for the tests that drive the Windows program under Wine, run beside it:
//   plx-win-helper box CAPTION    prints the caption and the text of each control of the
//                                  top-level window with that caption, one per line, as a person
//                                  reads them, then "client height N" for its inside; exit 1
//                                  when there is no such window
//   plx-win-helper nostdin EXE    runs EXE with no standard input handle at all, its output and
//                                  error on ours; exits with its status
//   plx-win-helper console EXE    prints the screen of the console window that the running
//                                  program EXE shows, row by row without trailing spaces, down
//                                  to the cursor's row; exit 1 when there is no such program
//   plx-win-helper serialcomm [DEVICE COMn]...
//                                  makes these the machine's COM ports, as serial port drivers
//                                  list them (the volatile HKLM\HARDWARE\DEVICEMAP\SERIALCOMM);
//                                  with none, the machine has none
#include <windows.h>
// The process list needs the Windows types first.
#include <tlhelp32.h>

#include <algorithm>
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
    RECT client{};
    GetClientRect(hBox, &client);
    std::printf("client height %ld\n", static_cast<long>(client.bottom - client.top));
    return 0;
}

int PrintConsole(const char* pszExe) {
    const HANDLE hProcesses = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process{};
    process.dwSize = sizeof(process);
    DWORD nPid = 0;
    for (BOOL bMore = Process32First(hProcesses, &process); bMore;
         bMore = Process32Next(hProcesses, &process))
        if (lstrcmpiA(process.szExeFile, pszExe) == 0) nPid = process.th32ProcessID;
    CloseHandle(hProcesses);
    FreeConsole();
    if (nPid == 0 || !AttachConsole(nPid)) return 1;
    const HANDLE hScreen =
        CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(hScreen, &info)) return 1;
    for (SHORT nRow = 0; nRow <= info.dwCursorPosition.Y; ++nRow) {
        char szRow[1024] = {};
        DWORD nRead = 0;
        const DWORD nWidth = std::min<DWORD>(info.dwSize.X, sizeof(szRow) - 1);
        ReadConsoleOutputCharacterA(hScreen, szRow, nWidth, COORD{0, nRow}, &nRead);
        while (nRead > 0 && szRow[nRead - 1] == ' ') --nRead;
        std::printf("%.*s\n", static_cast<int>(nRead), szRow);
    }
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

int SetSerialComm(int argc, char** argv) {
    const char* const kKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
    if (argc == 2) return 0;
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE,
                        nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        return 1;
    int nStatus = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (RegSetValueExA(hKey, argv[i], 0, REG_SZ, reinterpret_cast<const BYTE*>(argv[i + 1]),
                           static_cast<DWORD>(std::strlen(argv[i + 1]) + 1)) != ERROR_SUCCESS)
            nStatus = 1;
    }
    RegCloseKey(hKey);
    return nStatus;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "box") == 0) return PrintBox(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "nostdin") == 0) return RunWithoutInput(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "console") == 0) return PrintConsole(argv[2]);
    if (argc >= 2 && argc % 2 == 0 && std::strcmp(argv[1], "serialcomm") == 0)
        return SetSerialComm(argc, argv);
    std::fprintf(
        stderr,
        "usage: plx-win-helper box CAPTION | nostdin EXE | console EXE | serialcomm [DEVICE "
        "COMn]...\n");
    return 2;
}

#include <iostream>

#include "console/Framework.h"
#include "console/ServoDialogue.h"
#include "serial/UserApi.h"

CWinApp theApp;

int main() {
    // Nothing here uses C stdio on the console; without keeping step with it the streams read
    // and write in blocks instead of a character at a time.
    std::ios::sync_with_stdio(false);
    if (!AfxWinInit()) {
        std::cerr << "Fatal Error: MFC initialization failed" << std::endl;
        return 1;
    }
    const bool bAlone = PlxAloneOnConsole();
    PlxReadInputAsBytes();
    return PlxHoldConsoleWindow(RunServoDialogue(std::cin, std::cout, std::cerr), bAlone);
}

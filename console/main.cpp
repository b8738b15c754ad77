#include <iostream>

#include "console/Framework.h"
#include "console/ServoTest.h"

CWinApp theApp;

int main() {
    if (!AfxWinInit()) {
        std::cerr << "Fatal Error: MFC initialization failed" << std::endl;
        return 1;
    }
    return RunServoTest(std::cin, std::cout, std::cerr);
}

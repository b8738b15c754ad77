#include <iostream>

#include "sim/Simulator.h"

int main(int argc, char** argv) {
    CSimOptions options;
    std::string sMessage;
    switch (PlxParseSimOptions(argc, argv, &options, &sMessage)) {
        case EParseResult::Done:
            std::cout << sMessage;
            return 0;
        case EParseResult::Usage:
            std::cerr << "plx-ssc-sim: " << sMessage << "\nTry 'plx-ssc-sim --help'." << std::endl;
            return 2;
        case EParseResult::Run:
            break;
    }
    return PlxRunSimulator(options, std::cout, std::cerr);
}

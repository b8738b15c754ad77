#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "sim/Simulator.h"

int main(int argc, char** argv) {
    // A closed standard stream would hand its number to the simulator's own descriptors, and the
    // report would go down the serial line into itself.
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const char kClosed[] = "plx-ssc-sim: standard input, output and error must be open\n";
            if (fd != STDERR_FILENO) (void)!::write(STDERR_FILENO, kClosed, sizeof(kClosed) - 1);
            return 1;
        }
    }
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
    return PlxRunSimulator(options);
}

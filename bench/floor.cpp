// The floor: per packet only the two writes the dialogue cannot avoid (the prompt to standard
// output, the 3 bytes to the port), with no input and no parsing.
//   plx-bench-floor DEVICE N
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: plx-bench-floor DEVICE N\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (fd < 0 || ::tcgetattr(fd, &tio) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    ::tcsetattr(fd, TCSANOW, &tio);
    const long n = std::atol(argv[2]);
    static const char kPrompt[] = "Enter Servo and Position : ";
    for (long i = 0; i < n; ++i) {
        // The same pairs the harness feeds the others.
        const unsigned char packet[3] = {0xFF, static_cast<unsigned char>(i % 8),
                                         static_cast<unsigned char>((i * 37) % 255)};
        if (::write(STDOUT_FILENO, kPrompt, sizeof(kPrompt) - 1) < 0 || ::write(fd, packet, 3) != 3)
            return 1;
    }
    return 0;
}

// The tests' own main: standard input comes from /dev/null, so that nothing under test ever
// waits for a person at the terminal that started the tests; and a write to a program that has
// gone fails the test that made it rather than ending the whole run by SIGPIPE (the programs the
// tests start get their signals back as a shell gives them). A run stopped by SIGTERM ends its
// waits, each saying what it waited for.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "tests/TestSupport.h"
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
    const int fd = ::open("/dev/null", O_RDONLY);
    if (fd >= 0 && fd != STDIN_FILENO) {
        ::dup2(fd, STDIN_FILENO);
        ::close(fd);
    }
    ::signal(SIGPIPE, SIG_IGN);
    // A run stopped from outside ends its waits, each saying what it waited for, and cleans up.
    ::signal(SIGTERM, [](int) { StopWaiting(); });
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

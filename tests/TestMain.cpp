// The tests' own main: standard input comes from /dev/null, so that nothing under test ever
// waits for a person at the terminal that started the tests.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
    const int fd = ::open("/dev/null", O_RDONLY);
    if (fd >= 0 && fd != STDIN_FILENO) {
        ::dup2(fd, STDIN_FILENO);
        ::close(fd);
    }
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

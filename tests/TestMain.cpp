// The tests' own main: standard input comes from /dev/null, so that nothing under test ever
// waits for a person at the terminal that started the tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const int fd = ::open("/dev/null", O_RDONLY);
    if (fd >= 0 && fd != STDIN_FILENO) {
        ::dup2(fd, STDIN_FILENO);
        ::close(fd);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

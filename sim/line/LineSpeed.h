// A line speed set by its number (BOTHER, as termios2 sets a rate no B constant names, such as
// 14400 or 250000): termios reads such a line as having no speed at all.
#pragma once

#include <cstdint>

// The output speed of the line fd is on (either end of a pseudo-terminal) when it was set by
// number; 0 when it was set otherwise, or cannot be read.
std::uint32_t PlxLineSpeedByNumber(int fd);

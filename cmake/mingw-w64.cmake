# What the mingw-w64 toolchain files share: Debian's cross compilers for PLX_MINGW_TRIPLE (the
# -posix ones: GoogleTest needs std::mutex, which GCC 12's default -win32 ones lack), the
# libraries and headers of that target only, and the tests run under Wine through a wrapper that
# keeps Wine away from real serial devices.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${PLX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PLX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PLX_MINGW_TRIPLE}-windres)
set(CMAKE_STRIP ${PLX_MINGW_TRIPLE}-strip)
set(CMAKE_FIND_ROOT_PATH /usr/${PLX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)

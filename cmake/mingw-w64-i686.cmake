# Cross-building for 32-bit Windows with Debian's mingw-w64: the program as it was first made,
# a 32-bit console program that runs on 32- and 64-bit Windows alike. Wine's WoW64 runs it, and
# its tests, in the same 64-bit prefix as the 64-bit build's.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PLX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Windows: the program, a ZIP for Windows users, and the unit tests that need no terminal, run
# under Wine when cross-built (CMAKE_CROSSCOMPILING_EMULATOR in the toolchain file).
install(TARGETS plx-ssc-test RUNTIME DESTINATION .)
# The README with Windows line ends, so that Notepad on any Windows shows its lines.
configure_file(${CMAKE_CURRENT_LIST_DIR}/../windows/README.txt ${CMAKE_BINARY_DIR}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME plx-ssc-test)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_STRIP_FILES ON)  # the .exe without its debug sections
include(CPack)

if(NOT PLX_BUILD_TESTS)
  return()
endif()
enable_testing()
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  # GoogleTest from Debian's sources, built for the target.
  set(PLX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
  if(NOT EXISTS ${PLX_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(STATUS "No GoogleTest (set PLX_GTEST_SOURCE_DIR): building the program without tests")
    return()
  endif()
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${PLX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
  endif()
endif()
include(GoogleTest)

set(tests ${CMAKE_CURRENT_LIST_DIR}/../tests)
add_executable(plx_tests
  ${tests}/TestMain.cpp
  ${tests}/CommModeTest.cpp
  ${tests}/DialogueTextTest.cpp
  ${tests}/WarningBoxTest.cpp)
target_link_libraries(plx_tests PRIVATE plx_console GTest::gtest)
if(MINGW)
  target_link_options(plx_tests PRIVATE -static)
endif()
gtest_discover_tests(plx_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 120)

# Run beside the program by the tests that drive it under Wine from Linux.
add_executable(plx-win-helper ${tests}/WinHelper.cpp)
if(MINGW)
  target_link_options(plx-win-helper PRIVATE -static)
endif()

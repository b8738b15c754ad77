# Windows: the program, a ZIP for Windows users, and the unit tests that need no terminal, run
# under Wine when cross-built (CMAKE_CROSSCOMPILING_EMULATOR in the toolchain file).
install(TARGETS plx-ssc-test RUNTIME DESTINATION .)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(zip_name ${PROJECT_NAME}-${PROJECT_VERSION}-win32)
else()
  set(zip_name ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
endif()
# The README (which names its ZIP, for the checksum) and the license with Windows line ends, so
# that Notepad on any Windows shows their lines.
configure_file(${CMAKE_CURRENT_LIST_DIR}/../windows/README.txt ${CMAKE_BINARY_DIR}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_CURRENT_LIST_DIR}/../LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README.txt ${CMAKE_BINARY_DIR}/LICENSE.txt DESTINATION .)
if(MINGW)
  # The same bytes from the same sources: no link time in the PE header.
  target_link_options(plx-ssc-test PRIVATE -Wl,--no-insert-timestamp)
endif()
if(CMAKE_HOST_UNIX)
  # The ZIP for Windows users (cmake --build ... --target zip), the same bytes from the same
  # commit: see cmake/WindowsZip.cmake.
  add_custom_target(zip
    COMMAND ${CMAKE_COMMAND} -D BUILD=${CMAKE_BINARY_DIR} -D NAME=${zip_name}
            -D SOURCE=${CMAKE_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/WindowsZip.cmake
    DEPENDS plx-ssc-test VERBATIM)
endif()

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

# Packs the Windows build's install tree as BUILD/NAME.zip, one folder NAME holding the stripped
# .exe, README.txt and LICENSE.txt, so that the same commit gives the same bytes wherever and by
# whomever it is built: every entry dated SOURCE_DATE_EPOCH (the last commit's time when it is not
# set), in UTC, as ZIP dates are local time; the entries in one order; no owner or other Unix
# attributes (zip -X).
#   cmake -D BUILD=dir -D NAME=plx-ssc-test-1.0.0-win32 -D SOURCE=dir -P WindowsZip.cmake
cmake_minimum_required(VERSION 3.25)

set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C ${SOURCE} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "Not a git checkout: set SOURCE_DATE_EPOCH to the sources' time")
  endif()
endif()

set(stage ${BUILD}/zip)
file(REMOVE_RECURSE ${stage})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${stage}/${NAME} --strip
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${stage} ${stage}/*)
list(SORT files)
execute_process(COMMAND touch -d @${epoch} ${files} WORKING_DIRECTORY ${stage}
                COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${BUILD}/${NAME}.zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC zip -X -q ${BUILD}/${NAME}.zip ${files}
                WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${stage})
message(STATUS "ZIP: ${BUILD}/${NAME}.zip")

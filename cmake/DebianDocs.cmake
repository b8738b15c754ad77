# The Debian package's two documents, made from the ones everyone else reads, so that each is
# written once: LICENSE as a machine-readable copyright file, and the released versions of
# NEWS.md as a Debian changelog (the coming version's section is left out: it has no date yet).
#   cmake -D LICENSE=... -D NEWS=... -D PACKAGE=... -D MAINTAINER=... -D OUT=dir -P DebianDocs.cmake
cmake_minimum_required(VERSION 3.25)

# The license: its copyright line becomes the Copyright field, the text after it the license's.
file(READ ${LICENSE} license)
if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.*)$")
  message(FATAL_ERROR "${LICENSE}: no \"Copyright (c) ...\" line followed by the license text")
endif()
set(holder "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" text)
# Continuation lines start with a space; an empty one is written " .".
string(REPLACE "\n" "\n " text " ${text}")
string(REPLACE "\n \n" "\n .\n" text "${text}")
file(WRITE ${OUT}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: ${PACKAGE}\n"
     "\n"
     "Files: *\n"
     "Copyright: ${holder}\n"
     "License: Expat\n"
     "${text}\n")

# The day of the week of a date, for the trailer's RFC 5322 date (Sakamoto's method).
function(week_day year month day out)
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  if(month LESS 3)
    math(EXPR year "${year} - 1")
  endif()
  math(EXPR n "(${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 + ${offset} + ${day}) % 7")
  set(names Sun Mon Tue Wed Thu Fri Sat)
  list(GET names ${n} name)
  set(${out} ${name} PARENT_SCOPE)
endfunction()

# The release notes: "## VERSION (YYYY-MM-DD)" opens an entry; its list items become the
# entry's items, without Markdown's code marks.
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
file(STRINGS ${NEWS} lines)
set(changelog "")
set(trailer "")
set(in_release FALSE)
foreach(line IN LISTS lines)
  string(REPLACE "`" "" line "${line}")
  if(line MATCHES "^## ([0-9][^ ]*) \\(([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])\\)$")
    string(APPEND changelog "${trailer}${PACKAGE} (${CMAKE_MATCH_1}) unstable; urgency=medium\n")
    set(year ${CMAKE_MATCH_2})
    set(day ${CMAKE_MATCH_4})
    # Without the leading zero, which math() would not take as decimal.
    string(REGEX REPLACE "^0" "" month ${CMAKE_MATCH_3})
    string(REGEX REPLACE "^0" "" day_number ${day})
    math(EXPR index "${month} - 1")
    list(GET months ${index} month_name)
    week_day(${year} ${month} ${day_number} week_day_name)
    set(trailer "\n -- ${MAINTAINER}  ${week_day_name}, ${day} ${month_name} ${year}")
    string(APPEND trailer " 00:00:00 +0000\n\n")
    set(in_release TRUE)
  elseif(line MATCHES "^#")
    string(APPEND changelog "${trailer}")
    set(trailer "")
    set(in_release FALSE)
  elseif(in_release AND line MATCHES "^- (.*)")
    string(APPEND changelog "  * ${CMAKE_MATCH_1}\n")
  elseif(in_release AND line MATCHES "^ +(.*)")
    string(APPEND changelog "    ${CMAKE_MATCH_1}\n")
  elseif(in_release AND NOT line STREQUAL "")
    string(APPEND changelog "  ${line}\n")
  elseif(in_release)
    string(APPEND changelog "\n")
  endif()
endforeach()
string(APPEND changelog "${trailer}")
# One blank line between the heading and the items, and before the trailer.
string(REGEX REPLACE "\n\n+" "\n\n" changelog "${changelog}")
string(REGEX REPLACE "\n+$" "\n" changelog "${changelog}")
if(changelog STREQUAL "")
  message(FATAL_ERROR "${NEWS}: no \"## VERSION (YYYY-MM-DD)\" section")
endif()
file(WRITE ${OUT}/changelog "${changelog}")

# The manual pages lint clean, and the header has nothing they leave out: every function it
# exports is a name on some page, and every KSRN_ERROR_ code it defines has its entry in
# kestrune-errors(3) (".Ss <value> <name>"). Cross references point at pages that exist, so the
# HTML rendering has no dead links.
#   cmake -DMANDOC=<mandoc> -DPAGES=<man folder> -DHEADER=<kestrune.h> -P check_man_pages.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KestruneManPages.cmake)

if(NOT MANDOC)
  message(FATAL_ERROR "mandoc is missing (Debian package mandoc; scripts/bootstrap installs it)")
endif()
file(GLOB pages ${PAGES}/*.3)
execute_process(COMMAND ${MANDOC} -T lint -W warning ${pages} OUTPUT_VARIABLE lint
                ERROR_VARIABLE lint RESULT_VARIABLE failed)
if(failed OR NOT lint STREQUAL "")
  message(FATAL_ERROR "mandoc -T lint -W warning:\n${lint}")
endif()

set(problems)
set(documented)
set(files)
foreach(page IN LISTS pages)
  get_filename_component(file ${page} NAME_WLE)
  list(APPEND files ${file})
  ksrn_man_page_names(${page} names)
  list(APPEND documented ${names})
endforeach()

file(STRINGS ${HEADER} declarations REGEX "^KSRN_API ")
foreach(line IN LISTS declarations)
  string(REGEX MATCH "(KSRN_[A-Za-z]+)\\(" ignored "${line}")
  if(NOT CMAKE_MATCH_1 IN_LIST documented)
    list(APPEND problems "${CMAKE_MATCH_1} is on no page (.Nm in a NAME section)")
  endif()
endforeach()

file(READ ${PAGES}/kestrune-errors.3 errors)
file(STRINGS ${HEADER} codes REGEX "^#define KSRN_ERROR_")
foreach(line IN LISTS codes)
  string(REGEX MATCH "^#define (KSRN_ERROR_[A-Z_]+) ([0-9]+)u" ignored "${line}")
  set(entry ".Ss ${CMAKE_MATCH_2} ${CMAKE_MATCH_1}")
  string(FIND "${errors}" "\n${entry}\n" at)
  if(at EQUAL -1)
    list(APPEND problems "${CMAKE_MATCH_1} has no \"${entry}\" in kestrune-errors.3")
  endif()
endforeach()

foreach(page IN LISTS pages)
  file(STRINGS ${page} references REGEX "^\\.Xr ")
  foreach(line IN LISTS references)
    string(REGEX MATCH "^\\.Xr ([^ ]+) 3" ignored "${line}")
    if(NOT CMAKE_MATCH_1 IN_LIST files)
      list(APPEND problems "${page}: \"${line}\" names no page of its own")
    endif()
  endforeach()
endforeach()

if(problems)
  list(JOIN problems "\n " text)
  message(FATAL_ERROR "the manual pages fall short:\n ${text}")
endif()
list(LENGTH pages count)
message(STATUS "${count} pages lint clean and cover every export and code")

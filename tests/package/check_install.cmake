# A fresh install into PREFIX holds exactly FILES; its header spells VERSION; its library is
# stripped and links to the separate debug file beside it, which holds the debug information.
#   cmake -DBUILD=<build folder> -DPREFIX=<prefix> -DFILES=<paths in the prefix>
#         -DLIBRARY=<the library's path in the prefix> -DVERSION=<x.y.z> -DOBJDUMP=<objdump>
#         -P check_install.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KestruneVersion.cmake)

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                COMMAND_ERROR_IS_FATAL ANY)

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
set(missing ${FILES})
list(REMOVE_ITEM missing ${installed})
set(extra ${installed})
list(REMOVE_ITEM extra ${FILES})
if(missing OR extra)
  message(FATAL_ERROR "the install differs\n missing: ${missing}\n extra: ${extra}")
endif()

ksrn_check_header_version(${PREFIX}/include/kestrune.h ${VERSION} abi)

# section_names(<variable> <file>): the names of the file's sections.
function(section_names variable file)
  execute_process(COMMAND ${OBJDUMP} -h ${file} OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "\n +[0-9]+ [^ ]+" rows "${dump}")
  list(TRANSFORM rows REPLACE "^\n +[0-9]+ " "")
  set(${variable} ${rows} PARENT_SCOPE)
endfunction()
section_names(library_sections ${PREFIX}/${LIBRARY})
section_names(debug_sections ${PREFIX}/${LIBRARY}.debug)
list(FILTER library_sections INCLUDE REGEX "^\\.(debug_|gnu_debuglink)")
if(NOT library_sections STREQUAL ".gnu_debuglink")
  message(FATAL_ERROR "${LIBRARY} is not stripped with a debug link: ${library_sections}")
endif()
if(NOT ".debug_info" IN_LIST debug_sections)
  message(FATAL_ERROR "${LIBRARY}.debug holds no debug information")
endif()
list(LENGTH installed count)
message(STATUS "${count} files installed; ${LIBRARY} stripped, debug link to ${LIBRARY}.debug")

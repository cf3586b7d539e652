# A fresh install into PREFIX holds exactly FILES, its header spells VERSION, every file name
# its README gives carries VERSION, and its LIBRARY is stripped with a debug link to
# LIBRARY.debug, which holds the debug information.
#   cmake -DBUILD=<build folder> -DPREFIX=<prefix> -DFILES=<paths in the prefix>
#         -DLIBRARY=<path in the prefix> -DVERSION=<x.y.z> -DOBJDUMP=<objdump>
#         -P check_install.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KestruneVersion.cmake)

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
list(SORT installed)
list(SORT FILES)
if(NOT installed STREQUAL FILES)
  message(FATAL_ERROR "the install differs\n expected: ${FILES}\n installed: ${installed}")
endif()

ksrn_check_header_version(${PREFIX}/include/kestrune.h ${VERSION} abi)

# The install commands a reader copies name this release's archives, wheels and package.
file(READ ${PREFIX}/share/doc/Kestrune/README.md readme)
string(REGEX MATCHALL "(kestrune-|libkestrune\\.so\\.|Kestrune\\.)[0-9]+\\.[0-9]+\\.[0-9]+" named
       "${readme}")
foreach(name IN LISTS named)
  if(NOT name MATCHES "${VERSION}$")
    message(FATAL_ERROR "README.md names ${name}, not a file of ${VERSION}")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -h ${PREFIX}/${LIBRARY} OUTPUT_VARIABLE library
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${OBJDUMP} -h ${PREFIX}/${LIBRARY}.debug OUTPUT_VARIABLE debug
                COMMAND_ERROR_IS_FATAL ANY)
if(library MATCHES " \\.debug_" OR NOT library MATCHES " \\.gnu_debuglink "
   OR NOT debug MATCHES " \\.debug_info ")
  message(FATAL_ERROR "${LIBRARY} is not stripped with a debug link to its debug information")
endif()

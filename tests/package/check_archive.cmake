# cpack makes the release archive ARCHIVE, which holds exactly FILES under one top folder named
# after it.
#   cmake -DCPACK=<cpack> -DBUILD=<build folder> -DWORK=<scratch folder> -DARCHIVE=<file name>
#         -DFILES=<paths in an install prefix> -P check_archive.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CPACK} --config ${BUILD}/CPackConfig.cmake -B ${WORK}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${ARCHIVE} WORKING_DIRECTORY ${WORK}
                OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]*[^/\n]\n" entries "${listing}")
list(TRANSFORM entries STRIP)
list(SORT entries)
string(REGEX REPLACE "\\.(tar\\.gz|zip)$" "/" top ${ARCHIVE})
list(TRANSFORM FILES PREPEND ${top})
list(SORT FILES)
if(NOT entries STREQUAL FILES)
  message(FATAL_ERROR "${ARCHIVE} differs\n expected: ${FILES}\n holds: ${entries}")
endif()

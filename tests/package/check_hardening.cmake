# The installed library carries the hardening its users' distributions expect, read from the
# artefact itself rather than trusted to the linker's defaults.
#   DLL:  DllCharacteristics with DYNAMIC_BASE, NX_COMPAT and HIGH_ENTROPY_VA; imports from the
#         system DLLs in SYSTEM_DLLS only; the stack protector linked in (its symbols are in
#         LIBRARY.debug, the stripped DLL has none).
#   .so:  full RELRO (a GNU_RELRO segment and BIND_NOW), a GNU_STACK segment without execute
#         permission, and the stack protector among its imports.
# glibc's checked functions are called only where a call's bounds are known when compiling, and
# none of the library's calls is such a one, so _FORTIFY_SOURCE leaves no trace in the .so: it
# is read from the compile command of every library source in COMPILE_COMMANDS instead, with
# the stack protector, for both platforms.
#   cmake -DLIBRARY=<file> -DOBJDUMP=<objdump> -DNM=<nm> -DREADELF=<readelf>
#         -DCOMPILE_COMMANDS=<compile_commands.json> -DSOURCES=<folder of the library sources>
#         [-DSYSTEM_DLLS=<names>] -P check_hardening.cmake
cmake_minimum_required(VERSION 3.25)

macro(dump tool)
  execute_process(COMMAND ${tool} ${ARGN} OUTPUT_VARIABLE dump COMMAND_ERROR_IS_FATAL ANY)
endmacro()

set(missing)
macro(require pattern what)
  if(NOT dump MATCHES "${pattern}")
    list(APPEND missing "${what}")
  endif()
endmacro()

if(LIBRARY MATCHES "\\.dll$")
  dump(${OBJDUMP} -p ${LIBRARY})
  string(REGEX MATCH "DllCharacteristics[^\n]*\n(\t\t[^\n]*\n)*" characteristics "${dump}")
  foreach(flag DYNAMIC_BASE NX_COMPAT HIGH_ENTROPY_VA)
    if(NOT characteristics MATCHES "\t${flag}\n")
      list(APPEND missing ${flag})
    endif()
  endforeach()
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  string(TOLOWER "${SYSTEM_DLLS}" allowed)
  foreach(import IN LISTS imports)
    string(REGEX REPLACE "DLL Name: " "" name "${import}")
    string(TOLOWER "${name}" name)
    if(NOT name IN_LIST allowed)
      list(APPEND missing "imports only ${SYSTEM_DLLS} (imports ${name})")
    endif()
  endforeach()
  dump(${NM} ${LIBRARY}.debug)
  require(" __stack_chk_fail\n" "-fstack-protector-strong (__stack_chk_fail)")
else()
  dump(${READELF} -lW ${LIBRARY})
  require("\n  GNU_RELRO " "a GNU_RELRO segment")
  require("\n  GNU_STACK [^\n]* RW  " "a non-executable stack")
  dump(${READELF} -dW ${LIBRARY})
  require("\\(FLAGS\\)[^\n]* BIND_NOW|\\(FLAGS_1\\)[^\n]* NOW" "BIND_NOW")
  dump(${READELF} --dyn-syms -W ${LIBRARY})
  require(" UND __stack_chk_fail@" "-fstack-protector-strong (__stack_chk_fail)")
endif()

file(READ ${COMPILE_COMMANDS} commands)
string(JSON count LENGTH "${commands}")
math(EXPR last "${count} - 1")
set(compiled 0)
foreach(index RANGE ${last})
  string(JSON source GET "${commands}" ${index} file)
  if(NOT source MATCHES "^${SOURCES}/")
    continue()
  endif()
  math(EXPR compiled "${compiled} + 1")
  string(JSON command GET "${commands}" ${index} command)
  set(flags -fstack-protector-strong)
  if(NOT LIBRARY MATCHES "\\.dll$")
    list(APPEND flags -D_FORTIFY_SOURCE=2)
  endif()
  foreach(flag IN LISTS flags)
    if(NOT command MATCHES " ${flag} ")
      list(APPEND missing "${flag} for ${source}")
    endif()
  endforeach()
endforeach()
if(compiled EQUAL 0)
  list(APPEND missing "compile commands for ${SOURCES}")
endif()

if(missing)
  list(JOIN missing "; " missing)
  message(FATAL_ERROR "${LIBRARY} lacks: ${missing}")
endif()
message(STATUS "${LIBRARY}: hardened")

# The version has one source, project(). The public header spells it in its KSRN_VERSION_ macros
# so that a host compiles against the plain header, with no generated file; this check keeps the
# two equal. The configure step runs it (again whenever the header changes) and the package tests
# run it on the installed header:
#   ksrn_check_header_version(<header> <version> <abi-version-variable>)
#   cmake -DHEADER=<kestrune.h> -DVERSION=<x.y.z> -P KestruneVersion.cmake

# Fails unless the header defines exactly these version macros; sets <abi_variable> to the
# header's KSRN_ABI_VERSION, the interface version the SONAME carries.
function(ksrn_check_header_version header version abi_variable)
  string(REPLACE "." ";" numbers ${version})
  list(GET numbers 0 major)
  list(GET numbers 1 minor)
  list(GET numbers 2 patch)
  file(STRINGS ${header} lines REGEX "^#define KSRN_(ABI_)?VERSION")
  foreach(expected IN ITEMS "#define KSRN_VERSION_MAJOR ${major}"
                            "#define KSRN_VERSION_MINOR ${minor}"
                            "#define KSRN_VERSION_PATCH ${patch}"
                            "#define KSRN_VERSION_STRING \"${version}\"")
    list(FIND lines "${expected}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${header} lacks the line '${expected}': its version macros must "
                          "spell the project version ${version}")
    endif()
  endforeach()
  list(FILTER lines INCLUDE REGEX "^#define KSRN_ABI_VERSION [0-9]+$")
  if(NOT lines)
    message(FATAL_ERROR "${header} defines no numeric KSRN_ABI_VERSION")
  endif()
  string(REGEX REPLACE "^.* " "" abi "${lines}")
  set(${abi_variable} ${abi} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  ksrn_check_header_version(${HEADER} ${VERSION} abi)
  message(STATUS "${HEADER}: version ${VERSION}, ABI ${abi}")
endif()

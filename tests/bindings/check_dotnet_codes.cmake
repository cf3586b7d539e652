# The .NET binding against the header: the KestruneError enum against the KSRN_ERROR_ macros (the
# same names with the same values, in the same order, none missing and none extra), and the
# exports.
#   cmake -DHEADER=<kestrune.h> -DSOURCE=<Kestrune.cs> -P check_dotnet_codes.cmake
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${HEADER} macros REGEX "^#define KSRN_ERROR_")
list(TRANSFORM macros REPLACE "^#define KSRN_(ERROR_[A-Z_]+) ([0-9]+)u.*$" "\\1 = \\2")
file(STRINGS ${SOURCE} members REGEX "^ +ERROR_[A-Z_]+ = [0-9]+,$")
list(TRANSFORM members REPLACE "^ +(ERROR_[A-Z_]+ = [0-9]+),$" "\\1")
if(NOT members STREQUAL macros)
  message(FATAL_ERROR "KestruneError in ${SOURCE} differs from ${HEADER}\n"
                      " header: ${macros}\n enum:   ${members}")
endif()
list(LENGTH members count)
message(STATUS "${count} codes match")

# Every export the header declares has its DllImport, and the enums of the 1.1 exports match the
# header's KSRN_DELIVERY_ and KSRN_MARK_ macros once the header has them.
file(READ ${HEADER} header)
file(READ ${SOURCE} source)
string(REGEX MATCHALL "KSRN_API [a-z0-9_]+ KSRN_[A-Za-z]+\\(" exports "${header}")
list(TRANSFORM exports REPLACE "^KSRN_API [a-z0-9_]+ (KSRN_[A-Za-z]+)\\($" "\\1")
foreach(export IN LISTS exports)
  if(NOT source MATCHES "static extern [a-z]+ ${export}\\(")
    list(APPEND undeclared ${export})
  endif()
endforeach()
if(undeclared)
  message(FATAL_ERROR "${SOURCE} has no DllImport of ${undeclared}")
endif()
foreach(kind Delivery Mark)
  string(TOUPPER ${kind} prefix)
  file(STRINGS ${HEADER} macros REGEX "^#define KSRN_${prefix}_[A-Z_]+ [0-9]+")
  list(TRANSFORM macros REPLACE "^#define KSRN_${prefix}_([A-Z_]+) ([0-9]+).*$" "\\1 = \\2")
  string(REGEX MATCH "enum Kestrune${kind}[^}]*}" block "${source}")
  string(REGEX MATCHALL "[A-Z_]+ = [0-9]+" members "${block}")
  if(macros AND NOT members STREQUAL macros)
    message(FATAL_ERROR "Kestrune${kind} differs from the header\n header: ${macros}\n"
                        " enum:   ${members}")
  endif()
endforeach()
list(LENGTH exports count)
message(STATUS "${count} exports declared")

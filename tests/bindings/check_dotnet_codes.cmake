# The KestruneError enum of the .NET binding against the header's KSRN_ERROR_ macros: the same
# names with the same values, in the same order, none missing and none extra.
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

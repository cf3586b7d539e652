# Compiler options shared by every target of the tree.
add_library(ksrn_options INTERFACE)
target_compile_options(ksrn_options INTERFACE -Wall -Wextra $<$<BOOL:${KSRN_WERROR}>:-Werror>)
# clang checks the lock annotations of platform/mutex.h: guarded fields, required locks, order.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_options(ksrn_options INTERFACE -Wthread-safety)
endif()

if(KSRN_SANITIZE STREQUAL "address")
  target_compile_options(ksrn_options INTERFACE -fsanitize=address,undefined
                                                -fno-sanitize-recover=undefined
                                                -fno-omit-frame-pointer)
  target_link_options(ksrn_options INTERFACE -fsanitize=address,undefined)
elseif(KSRN_SANITIZE STREQUAL "thread")
  target_compile_options(ksrn_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(ksrn_options INTERFACE -fsanitize=thread)
elseif(NOT KSRN_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KSRN_SANITIZE must be empty, address or thread")
endif()

# The hardening distributions expect of a library, set here rather than trusted to the
# toolchain's defaults (which differ between distributions); the package test checks the
# artefacts. On Windows the stack protector's runtime is linked in like the rest.
target_compile_options(ksrn_options INTERFACE -fstack-protector-strong)
target_link_options(ksrn_options INTERFACE -fstack-protector-strong)
if(WIN32)
  target_link_options(ksrn_options INTERFACE -Wl,--dynamicbase -Wl,--nxcompat
                                             -Wl,--high-entropy-va)
else()
  target_link_options(ksrn_options INTERFACE -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
  # glibc's checked functions need optimisation, and the sanitizers (the fuzzers' too) intercept
  # the plain ones.
  if(KSRN_SANITIZE STREQUAL "" AND NOT KSRN_FUZZ)
    target_compile_options(ksrn_options INTERFACE
                           "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  endif()
endif()

if(WIN32)
  # No runtime DLLs beside ours: libstdc++, libgcc and winpthread are linked in.
  target_link_options(ksrn_options INTERFACE -static -static-libgcc -static-libstdc++)
  target_compile_definitions(ksrn_options INTERFACE _WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN
                                                    NOMINMAX UNICODE _UNICODE)
endif()

if(CMAKE_CROSSCOMPILING AND WIN32)
  # Test programs run under Wine, with a prefix of their own inside the build folder.
  set(KSRN_WINE_PREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/cmake/wine-run;${KSRN_WINE_PREFIX}")
endif()

# What an install holds, and so each release archive: the header in include/; the library in
# lib/, or on Windows the DLL in bin/ and both import libraries in lib/; the library's debug
# information in a file beside it; the CMake package (Kestrune::kestrune), kestrune.pc (not on
# Windows) and the documents. Included by src/CMakeLists.txt, where the library is defined.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS kestrune EXPORT KestruneTargets FILE_SET HEADERS)
if(WIN32)
  install(FILES ${KSRN_MSVC_IMPORT_LIBRARY} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  set(library_dir ${CMAKE_INSTALL_BINDIR})
else()
  set(library_dir ${CMAKE_INSTALL_LIBDIR})
endif()

# The installed library is stripped; its debug information goes to <library>.debug beside it,
# which debuggers find through the library's debug link. It is taken from the built library, so
# an install that strips (cmake --install --strip) still keeps it.
set(library "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${library_dir}/$<TARGET_FILE_NAME:kestrune>")
install(CODE "
  message(STATUS \"Installing: ${library}.debug\")
  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --only-keep-debug \"$<TARGET_FILE:kestrune>\"
                          \"${library}.debug\"
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-unneeded
                          \"--add-gnu-debuglink=${library}.debug\" \"${library}\"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD \"${library}.debug\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"${library}.debug\")")

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrune)
install(EXPORT KestruneTargets NAMESPACE Kestrune:: DESTINATION ${package_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KestruneConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/KestruneConfig.cmake
                              INSTALL_DESTINATION ${package_dir}
                              PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestruneConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestruneConfig.cmake
              ${PROJECT_BINARY_DIR}/KestruneConfigVersion.cmake
        DESTINATION ${package_dir})

if(NOT WIN32)
  # The prefix is found from the .pc file's own place, so an unpacked archive works wherever
  # it lies.
  string(REGEX REPLACE "[^/]+" ".." KSRN_PC_PREFIX_FROM_PCFILEDIR
                       ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrune.pc.in ${PROJECT_BINARY_DIR}/kestrune.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/kestrune.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
              ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

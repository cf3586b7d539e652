# Release archives, made by cpack from the install: kestrune-<version>-linux-x86_64.tar.gz or
# kestrune-<version>-win64.zip, whose one top folder is an install prefix. scripts/package makes
# both and their SHA256SUMS.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR TGZ)
  string(TOLOWER ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR} CPACK_SYSTEM_NAME)
endif()
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VENDOR "the Kestrune authors")
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
include(CPack)

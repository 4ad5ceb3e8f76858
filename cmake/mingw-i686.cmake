# Release build: 32-bit Windows, whose request-block layouts are the drive's ABI.
set(UPDATER_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

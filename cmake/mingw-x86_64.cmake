# Test build: 64-bit Windows, the only kind wine64 runs here.
set(UPDATER_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

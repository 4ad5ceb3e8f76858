# Shared by the two mingw-w64 toolchain files; UPDATER_MINGW_ARCH is set by them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${UPDATER_MINGW_ARCH})
set(triple ${UPDATER_MINGW_ARCH}-w64-mingw32)
# The win32 thread model: its runtime imports nothing that Windows 98 SE lacks,
# where the posix model's (winpthreads) needs NT-only and XP/Vista functions.
# It has no std::thread or std::mutex; threads are plain Win32 calls.
set(CMAKE_C_COMPILER ${triple}-gcc-win32)
set(CMAKE_CXX_COMPILER ${triple}-g++-win32)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Optimised for size: the release has to stay small, and nothing in it is
# bound by the processor (the drive takes far longer per page).
set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "")

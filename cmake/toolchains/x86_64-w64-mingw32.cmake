# Cross-build for 64-bit Windows with Debian's mingw-w64. The posix thread
# model is the one whose libstdc++ has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PARLANTO_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${PARLANTO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PARLANTO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PARLANTO_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${PARLANTO_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${PARLANTO_MINGW_PREFIX})
# Build tools (node, gendef) come from the build machine; libraries and
# headers from the target's root only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows with mingw-w64, posix thread model (GoogleTest needs std::mutex).
# LAUNCHER_ARCH picks the processor: i686, what ships, or x86_64, for running
# the Wine tests on a host whose kernel runs no 32-bit programs.
if(NOT LAUNCHER_ARCH)
  set(LAUNCHER_ARCH i686)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LAUNCHER_ARCH)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${LAUNCHER_ARCH})
set(CMAKE_C_COMPILER ${LAUNCHER_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${LAUNCHER_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${LAUNCHER_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LAUNCHER_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Cross toolchain: 32-bit Windows with MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(LAUNCHER_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "MinGW-w64 target triplet")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)

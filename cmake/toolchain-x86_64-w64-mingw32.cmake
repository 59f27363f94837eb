# Cross toolchain: 64-bit Windows with MinGW-w64 (posix thread model), the test
# build of machines that run no 32-bit code.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LAUNCHER_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "MinGW-w64 target triplet")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)

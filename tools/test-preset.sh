# Sourced by tools/test and tools/demo: picks the CMake preset of the test
# build. The launcher ships 32-bit (mingw-release); a machine that runs no
# 32-bit code (tools/host-arch) gets the same build for 64-bit Windows
# (mingw64-release), run under 64-bit Wine. A build folder configured for the
# other target is configured anew.
TEST_PRESET=mingw-release
TEST_TOOLCHAIN=toolchain-i686-w64-mingw32.cmake
if [ "$("$ROOT/tools/host-arch")" = win64 ]; then
    TEST_PRESET=mingw64-release
    TEST_TOOLCHAIN=toolchain-x86_64-w64-mingw32.cmake
    echo "$(basename "$0"): this machine runs no 32-bit code; using the 64-bit test build under 64-bit Wine"
fi
if [ -f "$ROOT/build/CMakeCache.txt" ] && ! grep -q "^CMAKE_TOOLCHAIN_FILE.*$TEST_TOOLCHAIN" "$ROOT/build/CMakeCache.txt"; then
    rm -rf "$ROOT/build"
fi

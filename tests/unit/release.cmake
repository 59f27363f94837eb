# Two builds of one source tree give the same exe, byte for byte. They are
# release builds, 32-bit whatever this build is, with their own libraries.
set(RELEASE_DEPS_PREFIX "${LAUNCHER_DEPS_PREFIX}")
set(RELEASE_JSONCPP_PREFIX "${LAUNCHER_JSONCPP_PREFIX}")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(RELEASE_DEPS_PREFIX "${PROJECT_SOURCE_DIR}/.cache/deps/i686-w64-mingw32")
    set(RELEASE_JSONCPP_PREFIX "${PROJECT_SOURCE_DIR}/.cache/deps/jsoncpp-nostreams/i686-w64-mingw32")
endif()
add_test(NAME release.reproducible
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DWORK_DIR=${CMAKE_BINARY_DIR}/reproducible
            "-DCONFIGURE_ARGS=-DLAUNCHER_DEPS_PREFIX=${RELEASE_DEPS_PREFIX}$<SEMICOLON>-DLAUNCHER_JSONCPP_PREFIX=${RELEASE_JSONCPP_PREFIX}"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/support/reproducible.cmake)
set_tests_properties(release.reproducible PROPERTIES TIMEOUT 600 RUN_SERIAL ON)

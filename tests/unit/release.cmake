# Two builds of one source tree give the same exe, byte for byte.
add_test(NAME release.reproducible
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DWORK_DIR=${CMAKE_BINARY_DIR}/reproducible
            "-DCONFIGURE_ARGS=-DLAUNCHER_DEPS_PREFIX=${LAUNCHER_DEPS_PREFIX}$<SEMICOLON>-DLAUNCHER_JSONCPP_PREFIX=${LAUNCHER_JSONCPP_PREFIX}"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/support/reproducible.cmake)
set_tests_properties(release.reproducible PROPERTIES TIMEOUT 600 RUN_SERIAL ON)

# tools/release as a user runs it: two releases of this tree (32-bit, whatever
# the test build is), compared byte for byte, signed, verified and read back.
add_test(NAME release.tool
    COMMAND ${Python3_EXECUTABLE} -m unittest -v e2e/test_release.py
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
set_tests_properties(release.tool PROPERTIES TIMEOUT 1500 RUN_SERIAL ON
    ENVIRONMENT "LAUNCHER_SOURCE_DIR=${PROJECT_SOURCE_DIR};LAUNCHER_RELEASE_WORK=${CMAKE_BINARY_DIR}/release-test;PYTHONPATH=${CMAKE_CURRENT_SOURCE_DIR}/support")

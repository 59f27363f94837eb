# The launcher's own utility functions: text, files, registry, system facts.
launcher_add_unit_test(util_string_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/Common/utilCommon/Util_String_test.cpp
    LIBS utilCommon)

launcher_add_unit_test(util_file_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/Common/utilCommon/Util_File_test.cpp
    LIBS utilCommon)

# A program with a known file version (1.2.3.4); the file tests look for it in
# their own folder.
add_executable(util_version_fixture
    ${CMAKE_CURRENT_SOURCE_DIR}/helpers/util_version_fixture.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/helpers/util_version_fixture.rc)
target_link_options(util_version_fixture PRIVATE -municode)
add_dependencies(util_file_tests util_version_fixture)
add_custom_command(TARGET util_file_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:util_version_fixture>
            $<TARGET_FILE_DIR:util_file_tests>)

launcher_add_unit_test(util_registry_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/Common/utilCommon/Util_Registry_test.cpp
    LIBS utilCommon)

# The same registry and system tests in a 64-bit prefix, where the registry
# functions must use the 64-bit view.
add_test(NAME unit.util_registry_tests.win64
    COMMAND ${Python3_EXECUTABLE} ${TESTBED} --dir ${TESTBED_DIR} run --arch win64 --
            $<TARGET_FILE:util_registry_tests> --gtest_brief=1)
set_tests_properties(unit.util_registry_tests.win64 PROPERTIES
    FIXTURES_REQUIRED Prefix64 TIMEOUT 300 ENVIRONMENT "LAUNCHER_TEST_ARCH=win64")

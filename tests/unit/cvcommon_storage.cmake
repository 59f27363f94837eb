# The shared library's files, paths, dynamic libraries and system queries.
launcher_add_unit_test(cvcommon_storage_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/Common/CvCommon/CvComn_Storage_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/Common/CvCommon/CvComn_AccessControl_test.cpp
    LIBS CvCommon)

launcher_add_unit_test(cvcommon_library_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/Common/CvCommon/CvComn_Library_test.cpp
    LIBS CvCommon)

# A library whose initialisation fails on request; the test program loads it
# from its own folder.
add_library(cvtest_failinit SHARED ${CMAKE_CURRENT_SOURCE_DIR}/helpers/failinit_dll.cpp)
set_target_properties(cvtest_failinit PROPERTIES PREFIX "" OUTPUT_NAME cvtest_failinit)
add_dependencies(cvcommon_library_tests cvtest_failinit)
add_custom_command(TARGET cvcommon_library_tests POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:cvtest_failinit>
            $<TARGET_FILE_DIR:cvcommon_library_tests>)

# The 64-bit answer of the architecture query, from a 64-bit prefix.
add_test(NAME unit.cvcommon_library_tests.win64
    COMMAND ${Python3_EXECUTABLE} ${TESTBED} --dir ${TESTBED_DIR} run --arch win64 --
            $<TARGET_FILE:cvcommon_library_tests> --gtest_brief=1 --gtest_filter=Kernel32*)
set_tests_properties(unit.cvcommon_library_tests.win64 PROPERTIES
    FIXTURES_REQUIRED Prefix64 TIMEOUT 300 ENVIRONMENT "LAUNCHER_TEST_ARCH=win64")

# The launcher's entry point, configuration and single-instance guard.
launcher_add_unit_test(launcher_config_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/LauncherConfig_test.cpp
    LIBS launcherCore)

add_executable(marked_window ${CMAKE_CURRENT_SOURCE_DIR}/helpers/marked_window.cpp)
target_link_options(marked_window PRIVATE -municode)

add_test(NAME launcher.import_table
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/support/check_imports.py
            ${CMAKE_OBJDUMP} $<TARGET_FILE:LumenscanLauncher>
            $<IF:$<EQUAL:${CMAKE_SIZEOF_VOID_P},8>,pei-x86-64,pei-i386>)

launcher_add_py_test(launcher.entry e2e/test_entry.py
    FIXTURES "Prefix32;Display"
    DEPENDS_ON LumenscanLauncher marked_window)
# A launcher run talks to the fixed loopback ports of the build's services.
set_tests_properties(launcher.entry PROPERTIES RESOURCE_LOCK "display;loopback_ports")

# The launch parameters, the redirect request, the package digest, the sidecar
# and zip unpacking; the archives are written at build time next to the program.
set(TEST_ZIPS_DIR ${CMAKE_CURRENT_BINARY_DIR}/test_zips)
add_custom_command(OUTPUT ${TEST_ZIPS_DIR}/good.zip
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/support/make_test_zips.py ${TEST_ZIPS_DIR}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/make_test_zips.py)
add_custom_target(test_zips DEPENDS ${TEST_ZIPS_DIR}/good.zip)
launcher_add_unit_test(launcher_workflow_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/RedirectRequest_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/AddressResolver_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/LaunchOptionsParse_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/FileDigest_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/SidecarDigest_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/PackageSidecar_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/PackageFolders_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/ArchiveExtraction_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/LaunchWorkflow_test.cpp
    LIBS launcherCore)
add_dependencies(launcher_workflow_tests test_zips)
# It writes the prefix's remembered package path (HKLM LocalPath), which the
# launcher runs of the tests holding this lock read and judge: never beside them.
set_property(TEST unit.launcher_workflow_tests APPEND PROPERTY RESOURCE_LOCK loopback_ports)

# Inputs the fuzz targets of fuzz/ found faults with.
launcher_add_unit_test(fuzz_regression_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/fuzz/Regressions_test.cpp
    LIBS launcherCore)

# The progress window: the dialog and its controls in process, and the
# launcher's windowed mode end to end. Both need the display; the end-to-end
# test also the loopback ports, where it plays the redirect service and the
# package store.
launcher_add_unit_test(ui_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/ui/MainDlg_test.cpp ${LAUNCHER_RESOURCE_SCRIPT}
    LIBS ui)
set_tests_properties(unit.ui_tests PROPERTIES
    FIXTURES_REQUIRED "Prefix32;Display" RESOURCE_LOCK display)

# Looks at and acts on the launcher's window from outside, as a user would.
add_executable(window_probe ${CMAKE_CURRENT_SOURCE_DIR}/helpers/window_probe.cpp)
target_link_libraries(window_probe PRIVATE comctl32 user32)
target_link_options(window_probe PRIVATE -municode)

launcher_add_py_test(launcher.ui e2e/test_ui.py
    FIXTURES "Prefix32;Display"
    DEPENDS_ON LumenscanLauncher window_probe test_setup import_root_ca)
set_property(TEST launcher.ui APPEND PROPERTY ENVIRONMENT
    "LAUNCHER_REDIRECT_HOST=${LAUNCHER_REDIRECT_HOST}"
    "LAUNCHER_PACKAGE_STORE_HOST=${LAUNCHER_PACKAGE_STORE_HOST}"
    "LAUNCHER_COLLECTOR_HOST=${LAUNCHER_COLLECTOR_HOST}"
    "LAUNCHER_ARTIFACTS_DIR=${CMAKE_BINARY_DIR}/artifacts"
    "LAUNCHER_PICTURES_DIR=${PROJECT_SOURCE_DIR}/resources")
set_tests_properties(launcher.ui PROPERTIES RESOURCE_LOCK "display;loopback_ports" TIMEOUT 900)

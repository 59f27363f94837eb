# The launcher's whole job against loopback stand-ins of the redirect service,
# the package store and the collector, on the fixed ports this build names.
add_executable(test_setup WIN32 ${CMAKE_CURRENT_SOURCE_DIR}/helpers/test_setup.cpp)
target_link_options(test_setup PRIVATE -municode)

launcher_add_py_test(launcher.workflow e2e/test_workflow.py
    FIXTURES "Prefix32;Prefix64"
    DEPENDS_ON LumenscanLauncher test_setup import_root_ca)
set_property(TEST launcher.workflow APPEND PROPERTY ENVIRONMENT
    "LAUNCHER_REDIRECT_HOST=${LAUNCHER_REDIRECT_HOST}"
    "LAUNCHER_PACKAGE_STORE_HOST=${LAUNCHER_PACKAGE_STORE_HOST}"
    "LAUNCHER_COLLECTOR_HOST=${LAUNCHER_COLLECTOR_HOST}"
    "LAUNCHER_PLACEHOLDER_URL=${LAUNCHER_PLACEHOLDER_URL}"
    "LAUNCHER_SUPPORT_ROOT_URL=${LAUNCHER_SUPPORT_ROOT_URL}"
    "NET_TEST_HOOKS_BUILT=${NET_TEST_HOOKS_BUILT}")
set_tests_properties(launcher.workflow PROPERTIES RESOURCE_LOCK loopback_ports TIMEOUT 1200)

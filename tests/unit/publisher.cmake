# The publisher pin: the thumbprint list, and signed setups through the
# launcher's whole run.
launcher_add_unit_test(publisher_pin_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/launcher/PublisherPin_test.cpp
    LIBS launcherCore)

launcher_add_py_test(launcher.publisher e2e/test_publisher.py
    FIXTURES "Prefix32"
    DEPENDS_ON LumenscanLauncher test_setup import_root_ca standin_wintrust standin_crypt32)
set_property(TEST launcher.publisher APPEND PROPERTY ENVIRONMENT
    "LAUNCHER_REDIRECT_HOST=${LAUNCHER_REDIRECT_HOST}"
    "LAUNCHER_PACKAGE_STORE_HOST=${LAUNCHER_PACKAGE_STORE_HOST}"
    "LAUNCHER_COLLECTOR_HOST=${LAUNCHER_COLLECTOR_HOST}"
    "PUBLISHER_TEST_HOOKS_BUILT=$<BOOL:${LAUNCHER_TEST_HOOKS}>")
set_tests_properties(launcher.publisher PROPERTIES RESOURCE_LOCK loopback_ports)

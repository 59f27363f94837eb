# The fault matrix: the launcher against scripted loopback servers that
# misbehave, on the ports this build names; one test per group of faults.
launcher_add_py_test(launcher.faults e2e/test_faults.py
    FIXTURES "Prefix32"
    DEPENDS_ON LumenscanLauncher test_setup import_root_ca)
set_property(TEST launcher.faults APPEND PROPERTY ENVIRONMENT
    "LAUNCHER_REDIRECT_HOST=${LAUNCHER_REDIRECT_HOST}"
    "LAUNCHER_PACKAGE_STORE_HOST=${LAUNCHER_PACKAGE_STORE_HOST}"
    "LAUNCHER_COLLECTOR_HOST=${LAUNCHER_COLLECTOR_HOST}"
    "LAUNCHER_PLACEHOLDER_URL=${LAUNCHER_PLACEHOLDER_URL}"
    "LAUNCHER_SUPPORT_ROOT_URL=${LAUNCHER_SUPPORT_ROOT_URL}")
# It also watches the prefix's ProgramData for files written outside the
# package folder, where the crash tests' dumps may land.
set_tests_properties(launcher.faults PROPERTIES RESOURCE_LOCK "loopback_ports;programdata" TIMEOUT 480)

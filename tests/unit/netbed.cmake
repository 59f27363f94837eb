# Through the network test bed (two namespaces of the test's own; needs root):
# the bed and the store's scripts with curl, and transfers with net_driver.
# Where no bed can be made, the tests report themselves skipped.
launcher_add_py_test(netbed.link e2e.test_netbed.LinkTest)
launcher_add_py_test(netbed.transfer e2e.test_netbed.TransferTest
    FIXTURES "Prefix32"
    DEPENDS_ON net_driver import_root_ca)
set_tests_properties(netbed.link netbed.transfer PROPERTIES
    RUN_SERIAL TRUE TIMEOUT 300 SKIP_REGULAR_EXPRESSION "netbed unavailable")

# The transfer code: text rules and body store as unit tests; the session,
# the operations and proxy discovery against loopback services.
launcher_add_unit_test(net_parse_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/NetParse_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/ResponseBody_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/NetDebug_test.cpp
    LIBS net)

# Retry and resume rules (pure functions).
launcher_add_unit_test(net_policy_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/TransferPolicy_test.cpp
    LIBS net)

launcher_add_unit_test(net_platform_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/ProxySettings_test.cpp
    LIBS net)

# The session against loopback servers in the test program, and the WinHTTP
# notifications of its request.
launcher_add_unit_test(net_session_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/TransferSession_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/TransferSession_notifications_test.cpp
    LIBS net)

# Whether the build has the transfer's test hook (LAUNCHER_TEST_HOOKS, see
# net/CMakeLists.txt): the tests expect it exactly then.
if(LAUNCHER_TEST_HOOKS)
    set(NET_TEST_HOOKS_BUILT 1)
else()
    set(NET_TEST_HOOKS_BUILT 0)
endif()

launcher_add_unit_test(net_stop_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/TransferSession_stop_test.cpp
    LIBS net)
target_compile_definitions(net_stop_tests PRIVATE NET_TEST_HOOKS_BUILT=${NET_TEST_HOOKS_BUILT})

add_executable(net_driver ${CMAKE_CURRENT_SOURCE_DIR}/helpers/net_driver.cpp)
target_link_libraries(net_driver PRIVATE net psapi)
target_link_options(net_driver PRIVATE -municode)

add_executable(import_root_ca ${CMAKE_CURRENT_SOURCE_DIR}/helpers/import_root_ca.cpp)
target_link_libraries(import_root_ca PRIVATE crypt32)
target_link_options(import_root_ca PRIVATE -municode)

add_executable(winhttp_reference ${CMAKE_CURRENT_SOURCE_DIR}/helpers/winhttp_reference.cpp)
target_link_libraries(winhttp_reference PRIVATE winhttp psapi)
target_link_options(winhttp_reference PRIVATE -municode)

launcher_add_py_test(net.e2e e2e/test_net.py
    FIXTURES "Prefix32"
    DEPENDS_ON net_driver import_root_ca)
set_property(TEST net.e2e APPEND PROPERTY ENVIRONMENT "NET_TEST_HOOKS_BUILT=${NET_TEST_HOOKS_BUILT}")

# Downloads over connections that break: resume, retries, what stays on disk.
launcher_add_unit_test(net_download_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/FileDownload_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/RetrySchedule_test.cpp
    LIBS net)

# Proxy lists and failover (text rules and the run's walk over candidates),
# UTF-8 in Locations and file names, certificate flag names.
launcher_add_unit_test(net_proxy_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/ProxyCandidates_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/net/SecureFailure_test.cpp
    LIBS net)

# Proxy failover, proxy credentials, refused certificates and Locations
# against loopback services, in a prefix of their own.
add_executable(proxy_driver ${CMAKE_CURRENT_SOURCE_DIR}/helpers/proxy_driver.cpp)
target_link_libraries(proxy_driver PRIVATE net)
target_link_options(proxy_driver PRIVATE -municode)

launcher_add_py_test(net.proxy e2e/test_net_proxy.py
    FIXTURES "Prefix32"
    DEPENDS_ON net_driver proxy_driver import_root_ca)

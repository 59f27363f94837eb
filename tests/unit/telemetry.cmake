# Telemetry: the analytics HTTP client, the worker pool, the event mapping and
# the sender, in process; and real programs against a loopback collector.

# Small programs whose only content is a file version; the sender tests read
# them from their own folder.
set(TELEMETRY_VERSION_FIXTURES "")
foreach(version IN ITEMS 1,2,0,0 1,2,3,0 0,0,0,7 0,0,0,0)
    string(REPLACE "," "_" suffix ${version})
    set(fixture telemetry_version_${suffix})
    add_executable(${fixture}
        ${CMAKE_CURRENT_SOURCE_DIR}/helpers/telemetry_version_fixture.cpp
        ${CMAKE_CURRENT_SOURCE_DIR}/helpers/telemetry_version_fixture.rc)
    target_compile_definitions(${fixture} PRIVATE FIXTURE_VERSION=${version})
    target_link_options(${fixture} PRIVATE -municode)
    list(APPEND TELEMETRY_VERSION_FIXTURES ${fixture})
endforeach()

launcher_add_unit_test(telemetry_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/telemetry/pool_core_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/telemetry/DeliveryQueue_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/telemetry/EventDispatcher_test.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/unit/Common/include/HttpBase_test.cpp
    LIBS telemetry ws2_32)
add_dependencies(telemetry_tests ${TELEMETRY_VERSION_FIXTURES})
foreach(fixture IN LISTS TELEMETRY_VERSION_FIXTURES)
    add_custom_command(TARGET telemetry_tests POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${fixture}>
                $<TARGET_FILE_DIR:telemetry_tests>)
endforeach()

# One request of the analytics HTTP client, described on the command line.
add_executable(http_probe ${CMAKE_CURRENT_SOURCE_DIR}/helpers/http_probe.cpp)
target_link_libraries(http_probe PRIVATE analyticsHttp)
target_link_options(http_probe PRIVATE -municode)

# Posts events and returns from its entry point; file version 3.1.4.5.
add_executable(event_poster
    ${CMAKE_CURRENT_SOURCE_DIR}/helpers/event_poster.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/helpers/telemetry_version_fixture.rc)
target_compile_definitions(event_poster PRIVATE FIXTURE_VERSION=3,1,4,5)
target_link_libraries(event_poster PRIVATE telemetry)
target_link_options(event_poster PRIVATE -municode)

launcher_add_py_test(telemetry.http e2e/test_telemetry_http.py
    FIXTURES Prefix32
    DEPENDS_ON http_probe)

launcher_add_py_test(telemetry.events e2e/test_telemetry_events.py
    FIXTURES Prefix32
    DEPENDS_ON event_poster)
set_property(TEST telemetry.events APPEND PROPERTY ENVIRONMENT
    "LAUNCHER_TRACKING_ID=${LAUNCHER_TRACKING_ID}")

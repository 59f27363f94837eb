# The crash handler: a host program that faults on request, a reader that
# opens the minidumps it leaves, and the end-to-end test that drives both.

# A version resource, so that the host's own version text is known.
set(CRASH_HOST_RC "${CMAKE_CURRENT_BINARY_DIR}/crash_host_version.rc")
file(CONFIGURE OUTPUT ${CRASH_HOST_RC} CONTENT [[
#include <winver.h>
1 VERSIONINFO
FILEVERSION 3,14,159,2653
PRODUCTVERSION 1,0,0,0
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_APP
BEGIN
    BLOCK "StringFileInfo"
    BEGIN
        BLOCK "040904b0"
        BEGIN
            VALUE "FileDescription", "crash handler test host"
            VALUE "FileVersion", "3.14.159.2653"
        END
    END
    BLOCK "VarFileInfo"
    BEGIN
        VALUE "Translation", 0x409, 1200
    END
END
]])

add_executable(crash_host ${CMAKE_CURRENT_SOURCE_DIR}/helpers/crash_host.cpp ${CRASH_HOST_RC})
target_link_libraries(crash_host PRIVATE utilCommon)
target_link_options(crash_host PRIVATE -municode)

add_executable(dump_reader ${CMAKE_CURRENT_SOURCE_DIR}/helpers/dump_reader.cpp)
target_link_libraries(dump_reader PRIVATE CvCommon dbghelp)
target_link_options(dump_reader PRIVATE -municode)

launcher_add_py_test(crash.host e2e/test_crash.py
    FIXTURES Prefix32
    DEPENDS_ON crash_host dump_reader)

# The launcher itself installs the handler before anything else runs.
launcher_add_py_test(crash.launcher e2e/test_crash.py
    FIXTURES Prefix32
    DEPENDS_ON LumenscanLauncher)
set_tests_properties(crash.launcher PROPERTIES RESOURCE_LOCK loopback_ports)

# Its dumps may land in the prefix's ProgramData, which launcher.faults watches.
set_property(TEST crash.host crash.launcher APPEND PROPERTY RESOURCE_LOCK programdata)

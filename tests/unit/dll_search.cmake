# Stand-ins named like every DLL the launcher uses that is not a KnownDLL;
# each records its own loading. The test puts them next to the launcher.
# crypt32's stand-in is built but not put there (see test_publisher.py: Wine's
# own winhttp would bind it from the program's folder).
set(STANDIN_DLLS version winhttp urlmon comctl32 riched20 jsproxy dbghelp wer faultrep userenv
    wintrust crypt32)
set(STANDIN_TARGETS "")
foreach(dll IN LISTS STANDIN_DLLS)
    add_library(standin_${dll} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/helpers/standin_dll.cpp)
    target_compile_definitions(standin_${dll} PRIVATE STANDIN_NAME="${dll}")
    set_target_properties(standin_${dll} PROPERTIES PREFIX "" OUTPUT_NAME ${dll}
        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/standin
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/standin)
    # Those the launcher imports export every name of the real DLL, so that
    # a program that imports it loads the stand-in.
    if(DEFINED LAUNCHER_IMPLIB_${dll})
        set(def ${CMAKE_CURRENT_BINARY_DIR}/standin/${dll}.def)
        add_custom_command(OUTPUT ${def}
            COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/support/make_standin_def.py
                ${CMAKE_NM} ${LAUNCHER_IMPLIB_${dll}} ${dll}.dll standin_stub ${def}
            DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/make_standin_def.py)
        target_sources(standin_${dll} PRIVATE ${def})
    endif()
    list(APPEND STANDIN_TARGETS standin_${dll})
endforeach()
add_executable(standin_probe WIN32 ${CMAKE_CURRENT_SOURCE_DIR}/helpers/standin_probe.cpp)
target_link_libraries(standin_probe PRIVATE advapi32 gdi32 ole32 oleaut32 rpcrt4 shell32 shlwapi
    user32 ws2_32)
target_link_options(standin_probe PRIVATE -municode)
launcher_add_py_test(launcher.dll_search e2e/test_dll_search.py
    FIXTURES "Prefix32;Display"
    DEPENDS_ON LumenscanLauncher standin_probe ${STANDIN_TARGETS})
# Its windowed run shows the progress window, which may take the foreground,
# and its launchers ask the build's fixed service ports, where no other test's
# stand-ins may be listening meanwhile.
set_tests_properties(launcher.dll_search PROPERTIES RESOURCE_LOCK "display;loopback_ports")

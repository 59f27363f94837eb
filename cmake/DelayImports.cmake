# The system DLLs that are not KnownDLLs are bound late, through delay-import
# libraries: the loader would otherwise resolve them before main() runs, and
# look for them first in the program's folder. The launcher's delay-load hook
# (launcher/DelayLoadHook.cpp) then loads each from System32 only.
# Launcher::delay_<name> replaces the plain <name> import library.
find_program(LAUNCHER_DLLTOOL NAMES ${LAUNCHER_MINGW_PREFIX}-dlltool REQUIRED)
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(LAUNCHER_DELAYLIB_DIR ${CMAKE_BINARY_DIR}/delaylib)
# Names the platform headers declare dllimport (commctrl.h's
# InitCommonControlsEx): code reaches them through the late-bound import slot
# alone, and --gc-sections would drop the loading stub that slot points at,
# leaving it null. Naming each one to the linker keeps its stub.
set(LAUNCHER_DELAY_KEEP_comctl32 InitCommonControlsEx:4)
foreach(name version winhttp urlmon comctl32)
    find_file(LAUNCHER_IMPLIB_${name} lib${name}.a PATHS /usr/${LAUNCHER_MINGW_PREFIX}/lib
        NO_DEFAULT_PATH REQUIRED)
    set(out ${LAUNCHER_DELAYLIB_DIR}/lib${name}_delay.a)
    add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${LAUNCHER_DELAYLIB_DIR}
        COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/make_delaylib.py
            ${CMAKE_NM} ${LAUNCHER_DLLTOOL} ${LAUNCHER_IMPLIB_${name}} ${name}.dll ${out}
        DEPENDS ${PROJECT_SOURCE_DIR}/cmake/make_delaylib.py
        COMMENT "Delay-import library for ${name}.dll")
    add_custom_target(delaylib_${name} DEPENDS ${out})
    add_library(Launcher::delay_${name} STATIC IMPORTED GLOBAL)
    set_target_properties(Launcher::delay_${name} PROPERTIES IMPORTED_LOCATION ${out})
    add_dependencies(Launcher::delay_${name} delaylib_${name})
    foreach(keep IN LISTS LAUNCHER_DELAY_KEEP_${name})
        string(REPLACE ":" ";" keep ${keep})
        list(GET keep 0 function)
        list(GET keep 1 argument_bytes)
        if(CMAKE_SIZEOF_VOID_P EQUAL 8)
            set(symbol ${function})
        else()
            set(symbol _${function}@${argument_bytes})
        endif()
        set_property(TARGET Launcher::delay_${name} APPEND PROPERTY
            INTERFACE_LINK_OPTIONS -Wl,--undefined=${symbol})
    endforeach()
endforeach()

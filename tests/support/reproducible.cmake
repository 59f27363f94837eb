# Builds the launcher twice from one source tree into two fresh folders and
# fails unless the two exes are byte for byte the same.
# cmake -DSOURCE_DIR=... -DWORK_DIR=... -DCONFIGURE_ARGS=a;b -P reproducible.cmake
foreach(v SOURCE_DIR WORK_DIR)
    if(NOT ${v})
        message(FATAL_ERROR "${v} not set")
    endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
set(exes "")
foreach(n a b)
    # Different folder names, so that a build path leaking into the exe shows.
    set(dir ${WORK_DIR}/build-${n}-${n}${n})
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${dir}
                            -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/toolchain-i686-w64-mingw32.cmake
                            -DCMAKE_BUILD_TYPE=MinSizeRel -DLAUNCHER_BUILD_TESTS=OFF ${CONFIGURE_ARGS}
                    RESULT_VARIABLE rc OUTPUT_QUIET)
    if(rc)
        message(FATAL_ERROR "configure ${n} failed: ${rc}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${dir} -j2 --target LumenscanLauncher
                    RESULT_VARIABLE rc OUTPUT_QUIET)
    if(rc)
        message(FATAL_ERROR "build ${n} failed: ${rc}")
    endif()
    list(APPEND exes ${dir}/launcher/LumenscanLauncher.exe)
endforeach()
list(GET exes 0 first)
list(GET exes 1 second)
file(SHA256 ${first} h1)
file(SHA256 ${second} h2)
if(NOT h1 STREQUAL h2)
    message(FATAL_ERROR "two builds differ:\n  ${h1} ${first}\n  ${h2} ${second}")
endif()
message(STATUS "both builds ${h1}")
file(REMOVE_RECURSE ${WORK_DIR})

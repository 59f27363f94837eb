# Third-party libraries built by tools/bootstrap into LAUNCHER_DEPS_PREFIX (or
# installed by the toolchain's own package manager), as imported targets.

function(launcher_import_library target header library)
    # A build folder configured against another prefix would keep the paths
    # found there: look again whenever the prefix changes.
    if(NOT "${${target}_FOUND_IN}" STREQUAL "${LAUNCHER_DEPS_PREFIX}")
        unset(${target}_INCLUDE CACHE)
        unset(${target}_LIBRARY CACHE)
        set(${target}_FOUND_IN "${LAUNCHER_DEPS_PREFIX}" CACHE INTERNAL "")
    endif()
    find_path(${target}_INCLUDE ${header} PATHS ${LAUNCHER_DEPS_PREFIX}/include NO_DEFAULT_PATH)
    find_path(${target}_INCLUDE ${header})
    find_library(${target}_LIBRARY ${library} PATHS ${LAUNCHER_DEPS_PREFIX}/lib NO_DEFAULT_PATH)
    find_library(${target}_LIBRARY ${library})
    if(NOT ${target}_INCLUDE OR NOT ${target}_LIBRARY)
        message(FATAL_ERROR "${library} not found; run tools/bootstrap or set LAUNCHER_DEPS_PREFIX")
    endif()
    add_library(Launcher::${target} STATIC IMPORTED GLOBAL)
    set_target_properties(Launcher::${target} PROPERTIES
        IMPORTED_LOCATION ${${target}_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${${target}_INCLUDE})
endfunction()

# jsoncpp comes patched and built for section garbage collection, in a prefix
# of its own (see tools/bootstrap).
set(LAUNCHER_JSONCPP_PREFIX "${CMAKE_SOURCE_DIR}/.cache/deps/jsoncpp-nostreams/${LAUNCHER_MINGW_PREFIX}"
    CACHE PATH "Where tools/bootstrap installed the patched jsoncpp")
list(APPEND CMAKE_FIND_ROOT_PATH "${LAUNCHER_JSONCPP_PREFIX}")
block()
    set(LAUNCHER_DEPS_PREFIX "${LAUNCHER_JSONCPP_PREFIX}")
    launcher_import_library(jsoncpp json/json.h libjsoncpp.a)
endblock()
launcher_import_library(crypto openssl/md5.h libcrypto.a)
set_property(TARGET Launcher::crypto APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS OPENSSL_API_COMPAT=0x10100000L)
set_property(TARGET Launcher::crypto APPEND PROPERTY INTERFACE_LINK_LIBRARIES ws2_32 crypt32 bcrypt)
launcher_import_library(zlib zlib.h libz.a)
launcher_import_library(minizip minizip/unzip.h libminizip.a)
set_property(TARGET Launcher::minizip APPEND PROPERTY INTERFACE_LINK_LIBRARIES Launcher::zlib)

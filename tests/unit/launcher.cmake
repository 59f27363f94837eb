# The launcher's entry point, configuration and single-instance guard.
launcher_add_unit_test(launcher_config_tests
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/unit/test_launcher_config.cpp
    LIBS launcherCore)

add_executable(marked_window ${CMAKE_CURRENT_SOURCE_DIR}/helpers/marked_window.cpp)
target_link_options(marked_window PRIVATE -municode)

add_test(NAME launcher.import_table
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/support/check_imports.py
            ${CMAKE_OBJDUMP} $<TARGET_FILE:LumenscanLauncher>)

launcher_add_py_test(launcher.entry e2e/test_entry.py
    FIXTURES "Prefix32;Display"
    DEPENDS_ON LumenscanLauncher marked_window)

# The CvCommon string layer and the structured logger.
launcher_add_unit_test(cvcommon_string_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_cvcommon_string.cpp LIBS CvCommon)
launcher_add_unit_test(logger_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_logger.cpp LIBS CvCommon)

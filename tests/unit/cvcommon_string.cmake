# The CvCommon string layer and the structured logger.
launcher_add_unit_test(cvcommon_string_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/Common/CvCommon/CvComn_String_test.cpp LIBS CvCommon)
launcher_add_unit_test(logger_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/Common/CvCommon/CvComn_Log_test.cpp LIBS CvCommon)

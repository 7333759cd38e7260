# Included from tests/harness/CMakeLists.txt.
testqav_test(testqav_runlog_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/run_log_test.cc
  DEPS testqav_runlog)

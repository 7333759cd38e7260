# Included from src/harness/CMakeLists.txt.
testqav_library(testqav_runlog
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/run_log.cc
  DEPS testqav_common)

# Diagnostic commands of the testqav program (--search, --resolve). Included from
# src/app/CMakeLists.txt.
testqav_library(testqav_diag
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/diag_search.cc ${CMAKE_CURRENT_LIST_DIR}/diag_resolve.cc
  DEPS testqav_addressbook testqav_directory testqav_common)

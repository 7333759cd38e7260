# One list of warning flags for every target of the project.
set(TESTQAV_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wconversion -Wsign-conversion -Wnull-dereference
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ 12 reports std::string::insert at position 0 as an overlapping memcpy (PR 105329).
  list(APPEND TESTQAV_WARNINGS -Wno-maybe-uninitialized -Wno-restrict)
endif()

function(testqav_target_defaults target)
  target_compile_options(${target} PRIVATE ${TESTQAV_WARNINGS})
  if(TESTQAV_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(TESTQAV_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(TESTQAV_TSAN)
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
endfunction()

# testqav_library(NAME SOURCES ... DEPS ...)
function(testqav_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  testqav_target_defaults(${name})
endfunction()

# Every test source goes through here; testqav_check_all_tests_registered() fails the
# configure step when a *_test.cc under tests/ is not registered, so no suite is silently
# left out of the build.
set_property(GLOBAL PROPERTY TESTQAV_REGISTERED_TESTS "")

# testqav_test(NAME SOURCES ... DEPS ... [LABELS ...])
# Every suite runs under AddressSanitizer and UndefinedBehaviorSanitizer; LABELS threads puts
# it into the thread-sanitizer run as well, and a suite that starts a thread must carry it.
function(testqav_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT TESTQAV_CHECK_TESTS)
    # Work-in-progress mode for local builds: leave out a suite whose sources are not there yet.
    foreach(src ${ARG_SOURCES})
      get_filename_component(abs ${src} ABSOLUTE)
      if(NOT EXISTS ${abs})
        message(WARNING "skipping ${name}: ${src} does not exist")
        return()
      endif()
    endforeach()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  testqav_target_defaults(${name})
  target_compile_options(${name} PRIVATE -Wno-conversion -Wno-sign-conversion)
  if("threads" IN_LIST ARG_LABELS)
    set_property(GLOBAL APPEND PROPERTY TESTQAV_THREAD_SUITES ${name})
  endif()
  # The plain build checks the `threads` label against what the suite does
  # (tests/support/thread_census.cc); the sanitizers bring their own pthread_create.
  if(NOT TESTQAV_SANITIZE AND NOT TESTQAV_TSAN)
    set(labelled 0)
    if("threads" IN_LIST ARG_LABELS)
      set(labelled 1)
    endif()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/thread_census.cc)
    target_compile_definitions(${name} PRIVATE TESTQAV_LABELLED_THREADS=${labelled})
    target_link_libraries(${name} PRIVATE ${CMAKE_DL_LIBS})
  endif()
  set(props ENVIRONMENT "TESTQAV_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  foreach(src ${ARG_SOURCES})
    get_filename_component(abs ${src} ABSOLUTE)
    set_property(GLOBAL APPEND PROPERTY TESTQAV_REGISTERED_TESTS ${abs})
  endforeach()
endfunction()

function(testqav_check_all_tests_registered)
  file(GLOB_RECURSE all_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/*_test.cc)
  get_property(registered GLOBAL PROPERTY TESTQAV_REGISTERED_TESTS)
  foreach(t ${all_tests})
    list(FIND registered ${t} idx)
    if(idx EQUAL -1)
      message(FATAL_ERROR "Test source not registered with testqav_test(): ${t}")
    endif()
  endforeach()
endfunction()

# The programs allocate with jemalloc on transparent huge pages (src/app/heap_config.cc). A
# run of a large organisation builds and drops millions of small strings and values; with
# the C library's allocator and 4 KiB pages it spends a third of its time in malloc, free
# and page faults. Tests keep the C library's allocator; sanitizer builds bring their own.
function(testqav_use_run_allocator target)
  if(TESTQAV_SANITIZE OR TESTQAV_TSAN OR NOT TESTQAV_JEMALLOC)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/app/heap_reserve_none.cc)
    return()
  endif()
  find_library(TESTQAV_JEMALLOC_LIBRARY NAMES jemalloc)
  if(NOT TESTQAV_JEMALLOC_LIBRARY)
    message(FATAL_ERROR "jemalloc not found: install libjemalloc-dev (scripts/setup.sh)")
  endif()
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/app/heap_config.cc
                                   ${PROJECT_SOURCE_DIR}/src/app/heap_reserve.cc)
  # The library replaces malloc and free when it is loaded; keep the linker from dropping
  # it as unused.
  target_link_libraries(${target} PRIVATE -Wl,--push-state,--no-as-needed
                        ${TESTQAV_JEMALLOC_LIBRARY} -Wl,--pop-state)
endfunction()

# dovadod_library(<name> SOURCES <src...> [DEPS <target...>] [TEST_DEPS <target...>])
#
# Adds one static library for a source folder and, beside it, one GoogleTest
# executable <name>_test built from every *_test.cc of that folder, and a second
# one, <name>_concurrency_test, from its *_concurrency_test.cc files: threaded
# tests labelled "concurrency", which the tsan preset builds and runs alone
# (the target concurrency_tests collects them). Includes are written from the
# repository root ("platform/fs/paths.h").
function(dovadod_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;TEST_DEPS" ${ARGN})
  if(DOVADOD_FUZZ OR DOVADOD_TSAN)
    # These presets build only what their targets link.
    add_library(${name} STATIC EXCLUDE_FROM_ALL ${ARG_SOURCES})
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
  endif()
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  dovadod_set_warnings(${name})

  if(DOVADOD_FUZZ)
    return()
  endif()
  set(test_libs ${name} ${ARG_TEST_DEPS} dovadod_test_support GTest::gtest GTest::gmock
                GTest::gtest_main)

  file(GLOB concurrency_tests CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*_concurrency_test.cc)
  if(concurrency_tests)
    add_executable(${name}_concurrency_test ${concurrency_tests})
    target_link_libraries(${name}_concurrency_test PRIVATE ${test_libs})
    dovadod_set_warnings(${name}_concurrency_test)
    gtest_discover_tests(${name}_concurrency_test DISCOVERY_MODE PRE_TEST
                         PROPERTIES LABELS concurrency
                                    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1")
    add_dependencies(concurrency_tests ${name}_concurrency_test)
  endif()

  if(DOVADOD_TSAN)
    return()
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(concurrency_tests)
    list(REMOVE_ITEM tests ${concurrency_tests})
  endif()
  if(NOT tests)
    return()
  endif()
  add_executable(${name}_test ${tests})
  target_link_libraries(${name}_test PRIVATE ${test_libs})
  dovadod_set_warnings(${name}_test)
  gtest_discover_tests(${name}_test DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1")
endfunction()

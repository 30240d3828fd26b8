# dovadod_library(<name> SOURCES <src...> [DEPS <target...>] [TEST_DEPS <target...>])
#
# Adds one static library for a source folder and, beside it, one GoogleTest
# executable <name>_test built from every *_test.cc of that folder. Includes are
# written from the repository root ("platform/fs/paths.h").
function(dovadod_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;TEST_DEPS" ${ARGN})
  if(DOVADOD_FUZZ)
    # The fuzz preset builds only what its targets link.
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
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(NOT tests)
    return()
  endif()
  add_executable(${name}_test ${tests})
  target_link_libraries(${name}_test PRIVATE ${name} ${ARG_TEST_DEPS} dovadod_test_support
                                             GTest::gtest GTest::gmock GTest::gtest_main)
  dovadod_set_warnings(${name}_test)
  gtest_discover_tests(${name}_test DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1")
endfunction()

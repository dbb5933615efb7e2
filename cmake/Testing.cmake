# Test registration for both configurations. Windows tests run under Wine through the
# project's runner; a fixture prepares the prefix and display and another stops them.
enable_testing()
include(GoogleTest)

if(VAROMET_WINDOWS)
  set(VAROMET_WINE_ROOT ${CMAKE_BINARY_DIR}/wine)
  set(VAROMET_WINERUN ${CMAKE_SOURCE_DIR}/cmake/wine/winerun.sh)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VAROMET_WINERUN} --root ${VAROMET_WINE_ROOT})

  add_test(NAME wine.setup COMMAND ${VAROMET_WINERUN} --root ${VAROMET_WINE_ROOT} --setup)
  set_tests_properties(wine.setup PROPERTIES FIXTURES_SETUP wine)
  add_test(NAME wine.cleanup COMMAND ${VAROMET_WINERUN} --root ${VAROMET_WINE_ROOT} --stop)
  set_tests_properties(wine.cleanup PROPERTIES FIXTURES_CLEANUP wine)

  # Wine ends some crashes (a stack overflow with no room left to report it) with status 0, so a
  # test program passes only once GoogleTest has printed its summary; a failed test or a failing
  # status (which the runner names) fails it whatever else the output holds.
  set(VAROMET_GTEST_RUN_CHECK
    PASS_REGULAR_EXPRESSION "test suites? ran\\."
    FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]|winerun: .* ended with status")
endif()

# varomet_add_gtest(target [CHILD_CASES] source... [TEST_PROPERTIES prop value...]) builds a GoogleTest
# executable and registers each test. CHILD_CASES (Windows) links the main of testing/, which runs
# VAROMET_CHILD_CASE cases. TEST_PROPERTIES are added to every test of the executable.
function(varomet_add_gtest target)
  cmake_parse_arguments(PARSE_ARGV 1 GTEST "CHILD_CASES" "" "TEST_PROPERTIES")
  add_executable(${target} ${GTEST_UNPARSED_ARGUMENTS})
  if(GTEST_CHILD_CASES)
    target_link_libraries(${target} PRIVATE GTest::gmock varomet_testing_main)
  else()
    target_link_libraries(${target} PRIVATE GTest::gmock GTest::gtest_main)
  endif()
  set(props TIMEOUT 300 ${GTEST_TEST_PROPERTIES})
  if(VAROMET_WINDOWS)
    list(APPEND props FIXTURES_REQUIRED wine ${VAROMET_GTEST_RUN_CHECK})
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES ${props})
endfunction()

# varomet_add_fuzz(target CORPUS dir [DICT file] SOURCES source...) builds a libFuzzer target (native clang
# builds only) and registers a bounded run of it over a copy of the seed corpus.
set(VAROMET_FUZZ_SECONDS 60 CACHE STRING "Length of each bounded fuzz run in the tests")
function(varomet_add_fuzz target)
  if(NOT VAROMET_CAN_FUZZ)
    return()
  endif()
  cmake_parse_arguments(FUZZ "" "CORPUS;DICT" "SOURCES" ${ARGN})
  add_executable(${target} ${FUZZ_SOURCES})
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}-corpus)
  add_test(NAME ${target}.bounded
    COMMAND ${CMAKE_COMMAND}
      -DFUZZER=$<TARGET_FILE:${target}> -DSEEDS=${FUZZ_CORPUS} -DWORK=${work}
      -DSECONDS=${VAROMET_FUZZ_SECONDS} -DDICT=${FUZZ_DICT}
      -P ${CMAKE_SOURCE_DIR}/cmake/RunFuzz.cmake)
  set_tests_properties(${target}.bounded PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()

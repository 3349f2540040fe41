# Test helpers. Every test needs the prefix and its wineserver (fixture
# "wine"); tests that touch the prefix's registry or C:\Korvane share the
# resource lock "prefix" so that a parallel ctest never interleaves them.

add_test(NAME wine.start COMMAND ${VARDEL_WINE_RUN} ${CMAKE_BINARY_DIR} --start)
add_test(NAME wine.stop COMMAND ${VARDEL_WINE_RUN} ${CMAKE_BINARY_DIR} --stop)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)

# vardel_test_run(NAME <ctest name> TARGET <exe> [TZ <zone>] [FILTER <gtest filter>]
#                 [ARGS ...] [LABELS ...] [TIMEOUT <s>])
function(vardel_test_run)
  cmake_parse_arguments(T "" "NAME;TARGET;TZ;FILTER;TIMEOUT" "ARGS;LABELS" ${ARGN})
  if(NOT T_TZ)
    set(T_TZ UTC)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(args ${T_ARGS})
  if(T_FILTER)
    list(APPEND args --gtest_filter=${T_FILTER})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_TARGET} ${args})
  set_tests_properties(${T_NAME} PROPERTIES
    ENVIRONMENT "TZ=${T_TZ}"
    FIXTURES_REQUIRED wine
    RESOURCE_LOCK prefix
    TIMEOUT ${T_TIMEOUT}
    SKIP_RETURN_CODE 77
    LABELS "${T_LABELS}")
endfunction()

# vardel_gtest(<target> SOURCES ... [LIBS ...]): a GoogleTest executable.
function(vardel_gtest TARGET)
  cmake_parse_arguments(G "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${TARGET} ${G_SOURCES})
  target_link_libraries(${TARGET} PRIVATE ${G_LIBS} vardel_testsupport gmock gtest_main)
endfunction()

# Test helpers. Every test needs the prefix and its wineserver (fixture
# "wine"). A test holds the resource lock "prefix" unless it is marked PURE:
# the lock keeps apart every test that touches the prefix's registry,
# C:\Korvane, COM registration or server processes, while pure tests (no
# state outside their own process) run beside them under ctest -j.

add_test(NAME wine.start COMMAND ${VARDEL_WINE_RUN} ${CMAKE_BINARY_DIR} --start)
add_test(NAME wine.stop COMMAND ${VARDEL_WINE_RUN} ${CMAKE_BINARY_DIR} --stop)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine)

# vardel_test_run(NAME <ctest name> TARGET <exe> [PURE] [LAST] [X86] [TZ <zone>]
#                 [FILTER <gtest filter>] [ARGS ...] [LABELS ...] [TIMEOUT <s>])
#   PURE  touches nothing shared in the prefix: runs without the lock
#   LAST  runs after every other test of the build, wherever it is declared
#   X86   also in the x86 build's suite, which holds only what differs by
#         bitness (dates, registry views, arithmetic, threads, registration,
#         client and server pairings); the rest runs in the x64 build only
function(vardel_test_run)
  cmake_parse_arguments(T "PURE;LAST;X86" "NAME;TARGET;TZ;FILTER;TIMEOUT" "ARGS;LABELS" ${ARGN})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT T_X86)
    return()
  endif()
  if(T_LAST)
    # Declared once the whole tree has been read, so that it knows every test.
    # (A deferred call reads its arguments late, so they wait in a property.)
    set(args ${ARGN})
    list(REMOVE_ITEM args LAST X86)
    set_property(GLOBAL PROPERTY VARDEL_LAST_TEST "${args}")
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL vardel_last_test_run)
    return()
  endif()
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
    TIMEOUT ${T_TIMEOUT}
    SKIP_RETURN_CODE 77
    LABELS "${T_LABELS}")
  if(NOT T_PURE)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK prefix)
  endif()
  set_property(GLOBAL APPEND PROPERTY VARDEL_TESTS ${T_NAME})
endfunction()

function(vardel_last_test_run)
  get_property(args GLOBAL PROPERTY VARDEL_LAST_TEST)
  cmake_parse_arguments(T "" "NAME" "" ${args})
  get_property(others GLOBAL PROPERTY VARDEL_TESTS)
  vardel_test_run(${args})
  set_tests_properties(${T_NAME} PROPERTIES DEPENDS "${others}")
endfunction()

# vardel_gtest(<target> SOURCES ... [LIBS ...]): a GoogleTest executable.
function(vardel_gtest TARGET)
  cmake_parse_arguments(G "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${TARGET} ${G_SOURCES})
  target_link_libraries(${TARGET} PRIVATE ${G_LIBS} vardel_testsupport gtest_main)
endfunction()

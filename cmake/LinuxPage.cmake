# The linux preset: the page (collect/page) and its tests, with the host's
# own g++, libpq and cpp-httplib.
add_compile_options(-Wall -Wextra -Wno-unused-parameter)

# GoogleTest from the distribution's source, as the Windows builds take it.
set(VARDEL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${VARDEL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
add_subdirectory(collect/page)

# The set-up's package step against a stand-in apt (nothing is installed).
find_program(VARDEL_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_test(NAME setup.packages COMMAND ${VARDEL_PYTHON3} ${CMAKE_SOURCE_DIR}/scripts/tests/install_packages_test.py)
set_tests_properties(setup.packages PROPERTIES LABELS setup TIMEOUT 120)

# The README split by reader: sections found in their new places, links resolve.
add_test(NAME docs.readme_split COMMAND ${VARDEL_PYTHON3} ${CMAKE_SOURCE_DIR}/scripts/tests/readme_split_test.py)
set_tests_properties(docs.readme_split PROPERTIES LABELS docs TIMEOUT 60)

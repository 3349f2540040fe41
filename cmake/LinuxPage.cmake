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

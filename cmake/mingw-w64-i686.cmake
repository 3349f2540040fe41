# Cross-compiles for 32-bit Windows, x86 (build-x86/). The same sources build
# the same executables; the type library keeps its 32-bit system kind.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VARDEL_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Cross-compiles for 32-bit Windows (x86) with mingw-w64's posix thread
# model, like the x86-64 toolchain file beside it. The same sources build
# the same executables; the type library keeps its 32-bit system kind.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VARDEL_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${VARDEL_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARDEL_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${VARDEL_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARDEL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Fully static: the executables must run without any mingw DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

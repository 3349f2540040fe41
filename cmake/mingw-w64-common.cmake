# The part both toolchain files share; they set VARDEL_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. mingw-w64's posix thread model: the win32
# model has no std::mutex, which GoogleTest and Boost.Regex need.
set(CMAKE_SYSTEM_NAME Windows)

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

# Shared body of the two mingw-w64 toolchain files; they set VX_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${VX_TRIPLE}")
# The -posix compilers: the win32 thread model has no std::thread/std::mutex.
set(CMAKE_C_COMPILER ${VX_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VX_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VX_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

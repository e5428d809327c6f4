# Shared part of the two Windows toolchain files; QN_MINGW_TRIPLET names the target.
# Debian's mingw-w64 compilers with the posix thread model: the default win32 model of GCC 12
# has no std::thread or std::mutex, which the tests use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry their C++ runtime, libgcc and the threads library inside, so that they run
# without the compiler's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

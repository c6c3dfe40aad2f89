# Shared by the MinGW-w64 toolchain files; DBCSPRINT_MINGW_TRIPLE names the
# target. The posix thread model gives std::mutex (GoogleTest needs it);
# with -static its winpthread is linked in, not loaded as a DLL.
set(CMAKE_C_COMPILER ${DBCSPRINT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DBCSPRINT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DBCSPRINT_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DBCSPRINT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static runtime: the executables need only the system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

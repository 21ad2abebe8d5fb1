# Shared part of the MinGW-w64 cross toolchains. The including file sets TOVREL_MINGW_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix flavour of the compilers provides std::thread and std::mutex (winpthreads).
set(CMAKE_C_COMPILER ${TOVREL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVREL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVREL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOVREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link libgcc, libstdc++ and winpthreads statically, so that the programs run on a bare Windows
# without any MinGW DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

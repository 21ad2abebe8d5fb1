# Cross build for 32-bit Windows (the program's target platform) with MinGW-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOVREL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

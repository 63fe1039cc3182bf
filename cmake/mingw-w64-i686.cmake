# Cross build of tessolin.exe for 32-bit Windows (x86) with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

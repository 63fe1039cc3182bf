# Cross build for 64-bit ARM Linux (Debian's arm64) with Debian's g++-aarch64-linux-gnu, against
# Debian 11's C library (cmake/debian-11-sysroot.cmake), so that it runs on glibc 2.28 and later.
# Its programs run here under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(TESSOLIN_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-11-sysroot.cmake)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The test programs run against the cross compiler's C library, the tool against Debian 11's.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
set(TESSOLIN_TOOL_EMULATOR qemu-aarch64 -L ${TESSOLIN_SYSROOT})

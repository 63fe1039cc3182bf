# Cross build for 32-bit ARM Linux with hardware floating point (Debian's armhf: ARMv7 and
# later) with Debian's g++-arm-linux-gnueabihf, against Debian 11's C library
# (cmake/debian-11-sysroot.cmake), so that it runs on glibc 2.28 and later. Its programs run
# here under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(TESSOLIN_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-11-sysroot.cmake)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The test programs run against the cross compiler's C library, the tool against Debian 11's.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
set(TESSOLIN_TOOL_EMULATOR qemu-arm -L ${TESSOLIN_SYSROOT})

# The Linux x86-64 packages' build: this machine's compiler, with the tool built against Debian
# 11's C library (cmake/debian-11-sysroot.cmake), so that it runs on glibc 2.28 and later.
set(TESSOLIN_DEBIAN_ARCH amd64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-11-sysroot.cmake)

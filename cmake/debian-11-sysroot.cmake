# Debian 11's C library (glibc 2.31), unpacked as TESSOLIN_SYSROOT, which the tool of a Linux
# package build is compiled and linked against (CMakeLists.txt); included by the build's
# toolchain file once TESSOLIN_DEBIAN_ARCH (amd64, arm64, armhf) is set. Linked against it, the
# tool asks only for the symbol versions it calls (statx: glibc 2.28), where Debian 12's own C
# library would make it ask for 2.34. The three packages are fetched once, by exact version,
# checked against the sums below, and unpacked into build/sysroot/debian-11-ARCH.

set(tessolin_glibc 2.31-13+deb11u11)
set(tessolin_linux 5.10.223-1)
# SHA-256 of each package, as Debian 11's Packages index lists them.
set(tessolin_sha256_libc6_amd64 05f7264da867b37f4c5ce49266b558ea1e81e05a9464f623152fca70f3550282)
set(tessolin_sha256_libc6-dev_amd64 e7f7b45d9c5cfcf37609f0b6efd3c645272c812144703af89dfd32218fcb0fd3)
set(tessolin_sha256_linux-libc-dev_amd64 e3be603bd12377bb90fcfb0f2048ca3a81c886e49d6f09945b82159d1c54f7b2)
set(tessolin_sha256_libc6_arm64 baaa9aa184e2f21738c5819055e6740cc5b22f198e3f416e33f82b40ff6933d8)
set(tessolin_sha256_libc6-dev_arm64 28d478134722dcd4b0bd2045a199301d18713bf95947b9fce66634e7aeacab2e)
set(tessolin_sha256_linux-libc-dev_arm64 8b6374a64412d33eac61d74f77b8f932da4b8a707ea8a614791e2a35b8917618)
set(tessolin_sha256_libc6_armhf 2b8a57429fd1999ae15c144a09a37a2c37a02ec1c5a5e07eded65455934e3b08)
set(tessolin_sha256_libc6-dev_armhf df0dba727d08f98e4fc187fdad0ed2158b3c14507a1b765a03aec25e423fe151)
set(tessolin_sha256_linux-libc-dev_armhf fd207920cfa0e0322f4b6b1428883ba1f7b4018a086ac61caab1c2957e1e32bc)

set(TESSOLIN_DEBIAN_MIRROR "http://deb.debian.org/debian" CACHE STRING
    "Debian mirror (or archive) that holds Debian 11's packages; their sums are checked")
get_filename_component(tessolin_sysroots "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot" ABSOLUTE)
set(TESSOLIN_SYSROOT "${tessolin_sysroots}/debian-11-${TESSOLIN_DEBIAN_ARCH}")
set(tessolin_triplet_amd64 x86_64-linux-gnu)
set(tessolin_triplet_arm64 aarch64-linux-gnu)
set(tessolin_triplet_armhf arm-linux-gnueabihf)
# Where its libraries and start files are.
set(TESSOLIN_SYSROOT_LIBDIRS "${TESSOLIN_SYSROOT}/lib/${tessolin_triplet_${TESSOLIN_DEBIAN_ARCH}}"
    "${TESSOLIN_SYSROOT}/usr/lib/${tessolin_triplet_${TESSOLIN_DEBIAN_ARCH}}")

# Fetches, checks and unpacks the packages into TESSOLIN_SYSROOT, unless that was done already.
function(tessolin_unpack_sysroot)
  set(stamp "${TESSOLIN_SYSROOT}/.unpacked")
  set(unpacked "")
  if(EXISTS "${stamp}")
    file(READ "${stamp}" unpacked)
  endif()
  if(unpacked STREQUAL "${tessolin_glibc} ${tessolin_linux}")
    return()
  endif()
  set(debs "")
  set(wanted "")
  foreach(package libc6 libc6-dev linux-libc-dev)
    if(package STREQUAL "linux-libc-dev")
      set(pool "l/linux/${package}_${tessolin_linux}")
    else()
      set(pool "g/glibc/${package}_${tessolin_glibc}")
    endif()
    set(sum ${tessolin_sha256_${package}_${TESSOLIN_DEBIAN_ARCH}})
    get_filename_component(name "${pool}_${TESSOLIN_DEBIAN_ARCH}.deb" NAME)
    set(deb "${tessolin_sysroots}/debs/${name}")
    unset(got)
    if(EXISTS "${deb}")
      file(SHA256 "${deb}" got)
    endif()
    if(NOT got STREQUAL sum)
      message(STATUS "Fetching ${name} from ${TESSOLIN_DEBIAN_MIRROR}")
      file(DOWNLOAD "${TESSOLIN_DEBIAN_MIRROR}/pool/main/${pool}_${TESSOLIN_DEBIAN_ARCH}.deb" "${deb}" STATUS status)
      file(SHA256 "${deb}" got)
      if(NOT got STREQUAL sum)
        list(GET status 1 why)
        if(status MATCHES "^0;")
          set(why "fetched, but its SHA-256 is ${got}")
        endif()
        string(APPEND failed "\n  ${name}: ${why}")
        file(REMOVE "${deb}")
      endif()
    endif()
    list(APPEND debs "${deb}")
    string(APPEND wanted "\n  ${name}  SHA-256 ${sum}")
  endforeach()
  if(DEFINED failed)
    message(FATAL_ERROR "The Linux packages are built against Debian 11's C library, and these could not be "
      "fetched from ${TESSOLIN_DEBIAN_MIRROR}, or did not match their sums:${failed}\n"
      "Put these files, from any Debian mirror, archive.debian.org or snapshot.debian.org (under "
      "pool/main/g/glibc/ and pool/main/l/linux/), into ${tessolin_sysroots}/debs/ and configure again:"
      "${wanted}\nor name another mirror with -DTESSOLIN_DEBIAN_MIRROR=URL.")
  endif()

  set(unpack "${tessolin_sysroots}/unpack-${TESSOLIN_DEBIAN_ARCH}")
  file(REMOVE_RECURSE "${TESSOLIN_SYSROOT}" "${unpack}")
  file(MAKE_DIRECTORY "${TESSOLIN_SYSROOT}/DEBIAN")
  foreach(deb IN LISTS debs)
    file(MAKE_DIRECTORY "${unpack}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${deb}" WORKING_DIRECTORY "${unpack}" COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB data "${unpack}/data.tar.*")
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${data}" WORKING_DIRECTORY "${TESSOLIN_SYSROOT}"
                    COMMAND_ERROR_IS_FATAL ANY)
    if(deb MATCHES "/libc6_")
      # libc6's symbols file: dpkg-shlibdeps finds it in DEBIAN/ above the library and gives
      # the .deb the lowest libc6 version that has every symbol the tool calls.
      file(GLOB control "${unpack}/control.tar.*")
      execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${control}" ./symbols ./shlibs
                      WORKING_DIRECTORY "${TESSOLIN_SYSROOT}/DEBIAN" COMMAND_ERROR_IS_FATAL ANY)
    endif()
    file(REMOVE_RECURSE "${unpack}")
  endforeach()
  # The packages' links name absolute paths (/lib64/ld-linux-x86-64.so.2 -> /lib/...), which
  # would reach this machine's own C library: they now point inside the sysroot.
  file(GLOB_RECURSE links LIST_DIRECTORIES false "${TESSOLIN_SYSROOT}/*")
  foreach(link IN LISTS links)
    if(IS_SYMLINK "${link}")
      file(READ_SYMLINK "${link}" target)
      if(target MATCHES "^/")
        get_filename_component(folder "${link}" DIRECTORY)
        file(RELATIVE_PATH target "${folder}" "${TESSOLIN_SYSROOT}${target}")
        file(REMOVE "${link}")
        file(CREATE_LINK "${target}" "${link}" SYMBOLIC)
      endif()
    endif()
  endforeach()
  file(WRITE "${stamp}" "${tessolin_glibc} ${tessolin_linux}")
endfunction()
tessolin_unpack_sysroot()

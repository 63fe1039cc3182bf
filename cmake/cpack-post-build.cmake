# Run by cpack on the packages it has just made, before it copies them out and checksums them:
# after a Windows zip it makes the MSI beside it, and it sets the modes of a .deb's members.
if(CPACK_TESSOLIN_MSI_ARCH)
  include(${CMAKE_CURRENT_LIST_DIR}/cpack-msi.cmake)
endif()

# CPack gives the members of a .deb's ar archive the modes their temporary files got from
# the umask; here they become rw-r--r-- (dpkg-deb's), so that a builder with umask 002
# makes the same .deb. An ar archive is "!<arch>\n", then per member a 60-byte header
# (name 16, time 12, owner 6, group 6, mode 8, size 10, "`\n") and its data, padded to even.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  file(SIZE "${package}" end)
  set(header 8)
  while(header LESS end)
    file(READ "${package}" fields OFFSET ${header} LIMIT 60)
    string(SUBSTRING "${fields}" 40 8 mode)
    string(SUBSTRING "${fields}" 48 10 size)
    string(STRIP "${size}" size)
    if(NOT fields MATCHES "`\n$" OR NOT size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${package}: no ar member header at byte ${header}")
    endif()
    if(NOT mode STREQUAL "100644  ")
      math(EXPR at "${header} + 40")
      execute_process(COMMAND printf "100644  "
                      COMMAND dd "of=${package}" bs=1 seek=${at} conv=notrunc status=none
                      RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR "${package}: could not set the mode of the member at byte ${header}")
      endif()
    endif()
    math(EXPR header "${header} + 60 + ${size} + ${size} % 2")
  endwhile()
endforeach()

# Read by cpack before it makes each package; CPACK_GENERATOR names the one it is making.

# Every time in a package (file times, the .deb's members, the .rpm's build time, the time
# stamp strip writes into tessolin.exe) is SOURCE_DATE_EPOCH; unless the caller sets it,
# the date of the changelog's newest entry.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_TESSOLIN_SOURCE_DATE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_TESSOLIN_SOURCE_DATE_EPOCH}")
endif()
# A zip holds local times: those of UTC, wherever it is made.
set(ENV{TZ} UTC)

# Without dpkg-shlibdeps CPack would write a .deb without Depends; without rpmbuild it
# would say only that the .rpm "requires rpmbuild executable".
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(TESSOLIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(TESSOLIN_FILE file)
  if(NOT TESSOLIN_DPKG_SHLIBDEPS OR NOT TESSOLIN_FILE)
    message(FATAL_ERROR "Making the .deb needs dpkg-shlibdeps (package dpkg-dev) and file, which find the C "
                        "library it depends on: sudo apt-get install dpkg-dev file")
  endif()
elseif(CPACK_GENERATOR STREQUAL "RPM")
  find_program(TESSOLIN_RPMBUILD rpmbuild)
  if(NOT TESSOLIN_RPMBUILD)
    message(FATAL_ERROR "Making the .rpm needs rpmbuild: sudo apt-get install rpm")
  endif()
endif()

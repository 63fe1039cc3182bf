# Read by cpack before it makes each package; CPACK_GENERATOR names the one it is making.

# Every time in a package (file times, the .deb's members, the .rpm's build time, the time
# stamp strip writes into tessolin.exe) is SOURCE_DATE_EPOCH; unless the caller sets it,
# the date of the changelog's newest entry.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_TESSOLIN_SOURCE_DATE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_TESSOLIN_SOURCE_DATE_EPOCH}")
endif()
# A zip holds local times: those of UTC, wherever it is made.
set(ENV{TZ} UTC)

# doc/changelog, in Debian's format, is the one changelog. From it come the time every
# package's files carry when SOURCE_DATE_EPOCH is not set (its last entry's date, so the
# same commit gives the same bytes whenever and wherever it is built) and the .rpm's
# %changelog. An entry reads:
#
#   tessolin (VERSION) unstable; urgency=medium
#
#     * What changed, wrapped
#       on indented lines.
#
#    -- NAME <EMAIL>  Www, DD Mmm YYYY HH:MM:SS +ZZZZ

# Seconds since 1970-01-01 00:00:00 UTC of a Gregorian date and time from 1970 on.
function(tessolin_epoch out year month day hour minute second zone_sign zone_hours zone_minutes)
  if(month LESS_EQUAL 2)
    math(EXPR year "${year} - 1")
    math(EXPR month "${month} + 9")
  else()
    math(EXPR month "${month} - 3")
  endif()
  # Days from 0000-03-01, less those up to 1970-01-01 (719468).
  math(EXPR days "365 * ${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 + (153 * ${month} + 2) / 5 + ${day} - 1 - 719468")
  if(zone_sign STREQUAL "+") # local time ahead of UTC
    set(to_utc "-")
  else()
    set(to_utc "+")
  endif()
  math(EXPR seconds "${days} * 86400 + ${hour} * 3600 + ${minute} * 60 + ${second} ${to_utc} (${zone_hours} * 3600 + ${zone_minutes} * 60)")
  set(${out} ${seconds} PARENT_SCOPE)
endfunction()

# Sets `epoch_var` to the time of the newest entry and writes the entries to `rpm_changelog`
# in rpm's form, each headed by VERSION-`release`.
function(tessolin_read_changelog changelog rpm_changelog release epoch_var)
  file(READ "${changelog}" text)
  string(ASCII 1 semicolon) # a stand-in, so that a ';' in the text does not split a line
  string(REPLACE ";" "${semicolon}" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  set(rpm_text "")
  unset(newest)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[a-z0-9][a-z0-9.+-]* \\(([^)]+)\\)")
      set(version "${CMAKE_MATCH_1}")
      set(body "")
    elseif(line MATCHES "^  \\* (.*)$")
      string(APPEND body "- ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^    (.*)$")
      string(APPEND body "  ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^ -- (.+)  ([A-Z][a-z][a-z], .*)$")
      set(who "${CMAKE_MATCH_1}")
      set(date "${CMAKE_MATCH_2}")
      if(NOT date MATCHES "^([A-Z][a-z][a-z]), ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ([0-9][0-9]):([0-9][0-9]):([0-9][0-9]) ([-+])([0-9][0-9][0-9][0-9])$")
        message(FATAL_ERROR "${changelog}: '${date}' is not a date like 'Wed, 09 Dec 2026 00:00:00 +0000'")
      endif()
      string(APPEND rpm_text "* ${CMAKE_MATCH_1} ${CMAKE_MATCH_3} ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} ${who} - ${version}-${release}\n${body}\n")
      if(NOT DEFINED newest)
        list(FIND months "${CMAKE_MATCH_3}" month)
        math(EXPR month "${month} + 1")
        string(SUBSTRING "${CMAKE_MATCH_9}" 0 2 zone_hours)
        string(SUBSTRING "${CMAKE_MATCH_9}" 2 2 zone_minutes)
        tessolin_epoch(newest ${CMAKE_MATCH_4} ${month} ${CMAKE_MATCH_2} ${CMAKE_MATCH_5} ${CMAKE_MATCH_6}
                       ${CMAKE_MATCH_7} ${CMAKE_MATCH_8} ${zone_hours} ${zone_minutes})
      endif()
    endif()
  endforeach()
  if(NOT DEFINED newest)
    message(FATAL_ERROR "${changelog}: no entry ends in a line ' -- NAME <EMAIL>  Www, DD Mmm YYYY HH:MM:SS +ZZZZ'")
  endif()
  string(REPLACE "${semicolon}" ";" rpm_text "${rpm_text}")
  string(STRIP "${rpm_text}" rpm_text)
  file(WRITE "${rpm_changelog}" "${rpm_text}\n")
  set(${epoch_var} ${newest} PARENT_SCOPE)
endfunction()

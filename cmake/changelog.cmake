# doc/changelog, in Debian's format, is the one changelog; the .rpm's %changelog is made
# from it. An entry reads:
#
#   tessolin (VERSION) unstable; urgency=medium
#
#     * What changed, wrapped
#       on indented lines.
#
#    -- NAME <EMAIL>  Www, DD Mmm YYYY HH:MM:SS +ZZZZ

# Writes the entries to `rpm_changelog` in rpm's form, each headed by VERSION-`release`.
function(tessolin_read_changelog changelog rpm_changelog release)
  file(READ "${changelog}" text)
  string(ASCII 1 semicolon) # a stand-in, so that a ';' in the text does not split a line
  string(REPLACE ";" "${semicolon}" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(rpm_text "")
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
    endif()
  endforeach()
  if(rpm_text STREQUAL "")
    message(FATAL_ERROR "${changelog}: no entry ends in a line ' -- NAME <EMAIL>  Www, DD Mmm YYYY HH:MM:SS +ZZZZ'")
  endif()
  string(REPLACE "${semicolon}" ";" rpm_text "${rpm_text}")
  string(STRIP "${rpm_text}" rpm_text)
  file(WRITE "${rpm_changelog}" "${rpm_text}\n")
endfunction()

# Run by cmake/cpack-post-build.cmake once the zip is made: tessolin-VERSION-ARCH.msi beside
# it, from the files cpack staged for the zip, made with Debian's wixl and msibuild (msitools).
#
# The same files give the same bytes: every GUID is derived from the fixed UpgradeCode (the
# package code from the files too), the files carry SOURCE_DATE_EPOCH into the cabinet, and
# wixl, which writes the time it runs into the summary information, runs under faketime.

# Never to change: Windows Installer finds the installed tessolin, to upgrade, by this code.
set(upgrade_code 21B635D9-5F91-4202-BF19-9417DA278CF6)

foreach(tool wixl msibuild faketime)
  find_program(TESSOLIN_${tool} ${tool})
  if(NOT TESSOLIN_${tool})
    message(FATAL_ERROR "Making the MSI needs wixl, msibuild and faketime: sudo apt-get install wixl msitools faketime")
  endif()
endforeach()

set(stage "${CPACK_TEMPORARY_DIRECTORY}")
set(arch ${CPACK_TESSOLIN_MSI_ARCH}) # x64 or x86
if(arch STREQUAL "x64")
  set(program_files ProgramFiles64Folder)
  set(win64 " Win64=\"yes\"")
  set(template "x64;1033")
else()
  set(program_files ProgramFilesFolder)
  set(win64 "")
  set(template "Intel;1033")
endif()
string(UUID product_code NAMESPACE ${upgrade_code} NAME "product ${arch} ${CPACK_PACKAGE_VERSION}" TYPE SHA1 UPPER)

# One component per file, its GUID from its path, so that it stays the same from version to
# version; folders one level deep (examples).
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
list(SORT files)
set(components "")
set(component_refs "")
set(folder "")
set(contents "${arch} ${CPACK_PACKAGE_VERSION}")
foreach(file IN LISTS files)
  get_filename_component(dir "${file}" DIRECTORY)
  if(NOT dir STREQUAL folder)
    if(folder)
      string(APPEND components "          </Directory>\n")
    endif()
    if(dir MATCHES "/")
      message(FATAL_ERROR "${file}: the MSI takes folders one level deep only")
    elseif(dir)
      string(APPEND components "          <Directory Id=\"${dir}\" Name=\"${dir}\">\n")
    endif()
    set(folder "${dir}")
  endif()
  string(MAKE_C_IDENTIFIER "${file}" id)
  string(UUID guid NAMESPACE ${upgrade_code} NAME "component ${arch} ${file}" TYPE SHA1 UPPER)
  string(APPEND components "          <Component Id=\"${id}\" Guid=\"${guid}\"${win64}>"
         "<File Id=\"${id}\" Source=\"${file}\" KeyPath=\"yes\"/></Component>\n")
  string(APPEND component_refs "      <ComponentRef Id=\"${id}\"/>\n")
  file(SHA256 "${stage}/${file}" sum)
  string(APPEND contents " ${file} ${sum}")
endforeach()
if(folder)
  string(APPEND components "          </Directory>\n")
endif()
string(UUID package_code NAMESPACE ${upgrade_code} NAME "package ${contents}" TYPE SHA1 UPPER)

set(msi "${CPACK_PACKAGE_DIRECTORY}/tessolin-${CPACK_PACKAGE_VERSION}-${arch}.msi")
configure_file("${CPACK_TESSOLIN_SOURCE_DIR}/win/tessolin.wxs.in" "${CPACK_TOPLEVEL_DIRECTORY}/tessolin.wxs" @ONLY)
string(TIMESTAMP when "%Y-%m-%d %H:%M:%S" UTC) # SOURCE_DATE_EPOCH
execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${files} WORKING_DIRECTORY "${stage}"
                COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE "${msi}")
execute_process(COMMAND faketime -f "${when}" wixl -a ${arch} -o "${msi}" "${CPACK_TOPLEVEL_DIRECTORY}/tessolin.wxs"
                WORKING_DIRECTORY "${stage}" COMMAND_ERROR_IS_FATAL ANY)

# The folder goes on the system PATH, and off it again on removal: an Environment row
# ("=-*" set at install, removed at removal, for the machine; "[~];" appends to the value
# there), and the two actions that read it, which this wixl leaves out.
execute_process(COMMAND faketime -f "${when}" msibuild "${msi}"
  -q "CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)"
  -q "INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES ('PATH', '=-*PATH', '[~];[INSTALLDIR]', 'tessolin_exe')"
  -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)"
  -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)"
  COMMAND_ERROR_IS_FATAL ANY)
# The package code, which wixl makes up at random (msibuild takes no option after -s).
execute_process(COMMAND faketime -f "${when}" msibuild "${msi}"
  -s "tessolin ${CPACK_PACKAGE_VERSION}" "the tessolin developers" "${template}" "{${package_code}}"
  COMMAND_ERROR_IS_FATAL ANY)

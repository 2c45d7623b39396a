# Run by CPack after it made the packages (CPACK_POST_BUILD_SCRIPTS). CPack gives
# every package with a library under /usr/lib a postinst and a postrm that only
# call ldconfig; the libraries' packages have dpkg's ldconfig trigger instead
# (triggers beside this file), which runs it once per install whatever the
# number of packages. The scripts are taken out of the packages again; one that
# does anything else stops the build.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${deb}.d")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)
  foreach(script IN ITEMS postinst postrm)
    if(EXISTS "${tree}/DEBIAN/${script}")
      file(READ "${tree}/DEBIAN/${script}" text)
      string(REGEX REPLACE "#![^\n]*|set -e|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then|ldconfig|fi|[ \t\n]" "" rest "${text}")
      if(NOT rest STREQUAL "")
        message(FATAL_ERROR "${deb}: the ${script} CPack wrote does more than call ldconfig:\n${text}")
      endif()
      file(REMOVE "${tree}/DEBIAN/${script}")
      set(changed TRUE)
    endif()
  endforeach()
  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b "${tree}" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()

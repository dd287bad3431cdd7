# Run by CPack once it has made the packages (CPACK_POST_BUILD_SCRIPTS, with
# CPACK_PACKAGE_FILES naming them). CPack calls ldconfig from the postinst and postrm
# it writes for a package with shared libraries in /usr/lib; Debian's way is a trigger
# that runs ldconfig once after all packages of a run are unpacked. In every package
# whose maintainer scripts do nothing but that, the scripts are replaced by the
# trigger "activate-noawait ldconfig" and the package is built again.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${tree}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot unpack ${package}")
  endif()
  set(replace FALSE)
  foreach(script postinst postrm)
    if(EXISTS "${tree}/DEBIAN/${script}")
      file(READ "${tree}/DEBIAN/${script}" text)
      # What is left once the shell boilerplate and the ldconfig call are taken out.
      string(REGEX REPLACE "#![^\n]*|set -e|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then|ldconfig|fi|[ \t\n]" ""
        rest "${text}")
      if(NOT rest STREQUAL "" OR NOT text MATCHES "ldconfig")
        set(replace FALSE)
        break()
      endif()
      set(replace TRUE)
    endif()
  endforeach()
  if(replace)
    file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
    file(WRITE "${tree}/DEBIAN/triggers" "activate-noawait ldconfig\n")
    execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${package}"
      OUTPUT_QUIET RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "cannot build ${package} again with the ldconfig trigger")
    endif()
    message(STATUS "${package}: ldconfig runs by trigger")
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()

# Run by `cmake --install` (and by CPack, which installs with the package's
# prefix): makes a file that names where things are installed, from the prefix
# of this very install, and installs it. A file configured when the build was
# would name the prefix of that configure instead, wherever the install went.
#
# Given: template (the .in file), output (where to make the file in the build
# folder), destination (relative to the install prefix), gzip (TRUE to install
# it gzipped, as a manual page), and the relative folders and names the
# templates use: KESTROVA_BINDIR, KESTROVA_HELPER_DIR, KESTROVA_UNIT_DIR,
# KESTROVA_CAPTURE_GROUP, PROJECT_VERSION.
foreach(dir KESTROVA_BINDIR KESTROVA_HELPER_DIR KESTROVA_UNIT_DIR)
  if(IS_ABSOLUTE "${${dir}}")
    set(${dir}_FULL "${${dir}}")
  else()
    set(${dir}_FULL "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
set(KESTROVA_BINARY_PATH "${KESTROVA_BINDIR_FULL}/kestrova")
set(KESTROVA_HELPER_PATH "${KESTROVA_HELPER_DIR_FULL}/kestrova-capture")
set(KESTROVA_SYSTEMD_UNIT_DIR "${KESTROVA_UNIT_DIR_FULL}")
configure_file("${template}" "${output}" @ONLY)
set(installed "${output}")
if(gzip)
  execute_process(COMMAND gzip -9 -n -c "${output}" OUTPUT_FILE "${output}.gz" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip could not compress ${output}")
  endif()
  set(installed "${output}.gz")
endif()
if(IS_ABSOLUTE "${destination}")
  set(destination_full "${destination}")
else()
  set(destination_full "${CMAKE_INSTALL_PREFIX}/${destination}")
endif()
file(INSTALL DESTINATION "${destination_full}" TYPE FILE FILES "${installed}")

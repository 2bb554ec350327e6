# Install step: gives the installed capture helper the right to open packet
# captures (cap_net_raw), so that packet checking works for ordinary users.
# Needs root and setcap; otherwise, and for a staged install (DESTDIR), it
# prints the one command that does it.
if(IS_ABSOLUTE "${KESTROVA_HELPER_DIR}")
  set(helper "${KESTROVA_HELPER_DIR}/kestrova-capture")
else()
  set(helper "${CMAKE_INSTALL_PREFIX}/${KESTROVA_HELPER_DIR}/kestrova-capture")
endif()

set(granted FALSE)
if("$ENV{DESTDIR}" STREQUAL "")
  find_program(KESTROVA_SETCAP setcap PATHS /usr/sbin /sbin)
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(KESTROVA_SETCAP AND uid STREQUAL "0")
    execute_process(COMMAND "${KESTROVA_SETCAP}" cap_net_raw+ep "${helper}"
                    RESULT_VARIABLE result ERROR_VARIABLE error)
    if(result EQUAL 0)
      set(granted TRUE)
      message(STATUS "Granted cap_net_raw to ${helper}")
    else()
      message(STATUS "setcap failed: ${error}")
    endif()
  endif()
endif()
if(NOT granted)
  message(STATUS "To check packets as an ordinary user, run: sudo setcap cap_net_raw+ep ${helper}")
endif()

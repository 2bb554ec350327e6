# Install step: lets the members of one group (KESTROVA_CAPTURE_GROUP) check
# packets, by giving the installed capture helper to that group (root:GROUP,
# mode 0750) and then the one capability opening a capture needs, in its
# permitted set only (cap_net_raw=p): the helper raises it for one call.
# Order matters: changing a file's group clears its capabilities.
#
# It grants nothing unless it runs as root without DESTDIR, the group exists,
# and the file it would grant is the one just built and no one but root could
# have put it there or change it: not a symbolic link, the same SHA-256 as the
# build's helper, root's, and in directories of root's that no one else may
# write (sticky ones aside). When only root or the group is missing, it prints
# the commands that would grant it; when the file is not safe to grant, it
# says why and prints none.
# The tools it runs come from the system's own directories, never from PATH.
#
# Given: KESTROVA_HELPER_DIR (absolute, or under CMAKE_INSTALL_PREFIX),
# KESTROVA_HELPER_BUILT (the build's helper), KESTROVA_CAPTURE_GROUP.
cmake_policy(VERSION 3.25)
if(IS_ABSOLUTE "${KESTROVA_HELPER_DIR}")
  set(helper "${KESTROVA_HELPER_DIR}/kestrova-capture")
else()
  set(helper "${CMAKE_INSTALL_PREFIX}/${KESTROVA_HELPER_DIR}/kestrova-capture")
endif()
set(group "${KESTROVA_CAPTURE_GROUP}")
set(system_dirs /usr/sbin /sbin /usr/bin /bin)
foreach(tool setcap id stat chgrp getent)
  find_program(KESTROVA_TOOL_${tool} ${tool} PATHS ${system_dirs} NO_DEFAULT_PATH NO_CACHE)
endforeach()

# Why the helper at `path` must not be granted anything, or "" when it may.
function(kestrova_refusal path built out)
  set(${out} "" PARENT_SCOPE)
  if(IS_SYMLINK "${path}" OR NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    set(${out} "${path} is not a regular file" PARENT_SCOPE)
    return()
  endif()
  file(SHA256 "${path}" installed_hash)
  file(SHA256 "${built}" built_hash)
  if(NOT installed_hash STREQUAL built_hash)
    set(${out} "${path} is not the helper this build made" PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND "${KESTROVA_TOOL_stat}" -c "%u %a" "${path}" OUTPUT_VARIABLE file_stat
                  OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT file_stat MATCHES "^0 [0-7]*[0145][0145]$")
    set(${out} "${path} is not root's alone to change (${file_stat})" PARENT_SCOPE)
    return()
  endif()
  get_filename_component(directory "${path}" DIRECTORY)
  while(TRUE)
    if(IS_SYMLINK "${directory}")
      set(${out} "${directory} is a symbolic link" PARENT_SCOPE)
      return()
    endif()
    execute_process(COMMAND "${KESTROVA_TOOL_stat}" -c "%u %a" "${directory}" OUTPUT_VARIABLE dir_stat
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    # Root's, and no write bit for group or others unless it is sticky (1xxx).
    if(failed OR NOT dir_stat MATCHES "^0 " OR
       (NOT dir_stat MATCHES "^0 [0-7]*[0145][0145]$" AND NOT dir_stat MATCHES "^0 1[0-7][0-7][0-7]$"))
      set(${out} "${directory} may be changed by others than root (${dir_stat})" PARENT_SCOPE)
      return()
    endif()
    get_filename_component(parent "${directory}" DIRECTORY)
    if(parent STREQUAL directory)
      break()
    endif()
    set(directory "${parent}")
  endwhile()
endfunction()

set(granted FALSE)
set(why "")
# The commands that would grant it are printed only where running them as
# root would be safe: the file is the one this build made, and no one but
# root could change it or its folders. A user's own prefix is not such a
# place: the user could swap the file before an administrator ran them.
set(print_commands FALSE)
set(staged FALSE)
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  set(staged TRUE)
  set(why "a staged install (DESTDIR) grants nothing")
elseif(NOT KESTROVA_TOOL_setcap OR NOT KESTROVA_TOOL_id OR NOT KESTROVA_TOOL_stat OR NOT KESTROVA_TOOL_chgrp
       OR NOT KESTROVA_TOOL_getent)
  set(why "setcap, id, stat, chgrp or getent is missing from ${system_dirs}")
else()
  execute_process(COMMAND "${KESTROVA_TOOL_id}" -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND "${KESTROVA_TOOL_getent}" group "${group}" RESULT_VARIABLE no_group
                  OUTPUT_QUIET ERROR_QUIET)
  kestrova_refusal("${helper}" "${KESTROVA_HELPER_BUILT}" why)
  if(NOT why STREQUAL "")
    # Not safe to grant, whoever runs it.
  elseif(NOT uid STREQUAL "0")
    set(why "granting needs root")
    set(print_commands TRUE)
  elseif(no_group)
    set(why "the group ${group} does not exist")
    set(print_commands TRUE)
  else()
    execute_process(COMMAND "${KESTROVA_TOOL_chgrp}" "${group}" "${helper}" RESULT_VARIABLE failed)
    if(NOT failed)
      file(CHMOD "${helper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
      # Checked again as it now is, then granted.
      kestrova_refusal("${helper}" "${KESTROVA_HELPER_BUILT}" why)
    else()
      set(why "chgrp failed")
    endif()
    if(why STREQUAL "")
      execute_process(COMMAND "${KESTROVA_TOOL_setcap}" cap_net_raw=p "${helper}"
                      RESULT_VARIABLE failed ERROR_VARIABLE error)
      if(failed)
        set(why "setcap failed: ${error}")
      else()
        set(granted TRUE)
        message(STATUS "Granted cap_net_raw=p to ${helper}, which only the group ${group} may run")
      endif()
    endif()
  endif()
endif()
if(granted)
elseif(staged)
  message(STATUS "Not granted (${why})")
elseif(print_commands)
  message(STATUS "Not granted (${why}). To let the members of a group check packets, run as root:\n"
                 "  addgroup --system ${group}\n"
                 "  chgrp ${group} ${helper} && chmod 0750 ${helper} && setcap cap_net_raw=p ${helper}\n"
                 "then add each user: usermod -aG ${group} USER (they log in again)")
else()
  message(STATUS "Not granted (${why}). Packet checking from this install works only as root; for ordinary "
                 "users, install as root into a prefix that only root may change (sudo cmake --install)")
endif()

# Fails when a file of the simulated platform includes a header of a folder
# at its own level or above: the folders are layered, and a lower one never
# includes a higher one, so each can be read (and tested) without those
# above it.
#   cmake -DROOT=simplatform -DFILES="a.cpp|b.h" -DSTAMP=out.stamp -P checkplatformlayers.cmake
#
# Levels, lowest first; the top of simplatform/ (the wiring) is above all.
set(level_os 0)        # sockets, files read whole, service notification
set(level_files 1)     # files written durably: flushed, renamed, folder flushed
set(level_runtime 1)   # the loop and its turn, settings, counters, serving streams
set(level_names 2)     # drive paths, the name service
set(level_snmp 2)      # BER, SNMPv3, USM, the PDU record
set(level_mapdb 2)     # the map database, its file, services, session and views
set(level_http 3)      # the HTTP port
set(level_control 3)   # the control port
set(level_trapport 3)  # the trap session, its datagrams, PDU pool, security and errors
set(level_mapstore 3)  # the map's state on disk: journal, snapshots, reading back
set(level_top 9)
string(REPLACE "|" ";" files "${FILES}")
foreach(file IN LISTS files)
  file(RELATIVE_PATH relative "${ROOT}" "${file}")
  if(relative MATCHES "^([a-z]+)/")
    set(folder ${CMAKE_MATCH_1})
  else()
    set(folder top)
  endif()
  if(NOT DEFINED level_${folder})
    message(FATAL_ERROR "${file}: simplatform/${folder}/ has no level in cmake/checkplatformlayers.cmake")
  endif()
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" included "${line}")
    get_filename_component(directory "${file}" DIRECTORY)
    get_filename_component(target "${directory}/${included}" ABSOLUTE)
    file(RELATIVE_PATH target_relative "${ROOT}" "${target}")
    if(target_relative MATCHES "^\\.\\.")
      continue()  # outside the platform: platform/ or the build's own files
    endif()
    if(target_relative MATCHES "^([a-z]+)/")
      set(target_folder ${CMAKE_MATCH_1})
    else()
      set(target_folder top)
    endif()
    if(NOT target_folder STREQUAL folder AND NOT level_${target_folder} LESS level_${folder})
      message(FATAL_ERROR "${file} includes ${included}: simplatform/${folder}/ may include only "
                          "folders below it (cmake/checkplatformlayers.cmake)")
    endif()
  endforeach()
endforeach()
file(WRITE "${STAMP}" "")

# Fails when a file of the system or of platform/ includes a header of the
# simulated platform: the system sees the platform only through platform/.
#   cmake -DFILES="a.cpp|b.h" -DSTAMP=out.stamp -P checklayers.cmake
string(REPLACE "|" ";" files "${FILES}")
foreach(file IN LISTS files)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"][^>\"]*simplatform/")
  if(lines)
    list(GET lines 0 line)
    message(FATAL_ERROR "${file} includes the simulated platform (${line}); "
                        "the system may include only platform/")
  endif()
endforeach()
file(WRITE "${STAMP}" "")

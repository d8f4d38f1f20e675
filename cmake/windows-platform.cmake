# Windows: kelvorov.exe as the platform loads it. Included by the top-level
# CMakeLists.txt on Windows (MinGW-w64) in place of the one-binary link.
#
# - kelvorov.exe holds the program's own code only. It imports the platform's
#   operations from ovw.dll, ovsnmp.dll and ov.dll through import libraries
#   made from their .def files in platform/ alone (contract/libovw.a, ...),
#   the two socket functions from WSOCK32.dll and the message loop from
#   USER32.dll.
# - The simulated platform is one DLL of its own, simplatform.dll (the whole
#   simplatform archive, sockets on WS2_32 inside), and the three libraries
#   of the platform's names, whose exports forward to it.
# - Every DLL and the exe carry their own C++ and GCC runtime (-static), so
#   the folder needs no MinGW runtime DLL beside them.
if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES ${MINGW_TRIPLET}-dlltool dlltool REQUIRED)
endif()

set(KELVOROV_PLATFORM_LIBRARIES ovw ovsnmp ov)
set(contract_dir ${CMAKE_CURRENT_BINARY_DIR}/contract)
file(MAKE_DIRECTORY ${contract_dir})

# The platform's code, exported with its plain C names.
target_compile_definitions(simplatform PRIVATE KELVOROV_PLATFORM_EXPORTS)
target_link_libraries(simplatform PUBLIC ws2_32)

set(contract_imports "")
set(core_exports "")
foreach(library ${KELVOROV_PLATFORM_LIBRARIES})
  set(def ${CMAKE_CURRENT_SOURCE_DIR}/platform/${library}.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})

  # The library's import library, from its contract alone: what any other
  # implementation of the platform would be linked through.
  set(import ${contract_dir}/lib${library}.a)
  add_custom_command(OUTPUT ${import}
    COMMAND ${CMAKE_DLLTOOL} -d ${def} -l ${import}
    DEPENDS ${def}
    COMMENT "Import library of ${library}.dll from ${library}.def"
    VERBATIM)
  list(APPEND contract_imports ${import})

  # The DLL itself: every name of the contract forwarded to simplatform.dll.
  file(STRINGS ${def} lines)
  set(forward "; Generated from platform/${library}.def: every name forwarded to simplatform.dll.\n")
  set(in_exports FALSE)
  foreach(line ${lines})
    if(line MATCHES "^[ \t]*;" OR line MATCHES "^[ \t]*$")
      continue()
    elseif(line MATCHES "^EXPORTS")
      set(in_exports TRUE)
      string(APPEND forward "EXPORTS\n")
    elseif(in_exports AND line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)([ \t]+DATA)?[ \t]*$")
      string(APPEND forward "    ${CMAKE_MATCH_1} = simplatform.${CMAKE_MATCH_1}${CMAKE_MATCH_2}\n")
      string(APPEND core_exports "    ${CMAKE_MATCH_1}${CMAKE_MATCH_2}\n")
    else()
      string(APPEND forward "${line}\n")
    endif()
  endforeach()
  set(forward_def ${CMAKE_CURRENT_BINARY_DIR}/forward/${library}.def)
  file(CONFIGURE OUTPUT ${forward_def} CONTENT "${forward}" @ONLY)

  add_library(${library} SHARED ${forward_def})
  set_target_properties(${library} PROPERTIES PREFIX "" LINKER_LANGUAGE CXX)
  target_link_options(${library} PRIVATE -static)
endforeach()
add_custom_target(platform_contract DEPENDS ${contract_imports})

# The core: the whole simplatform archive, exporting every name of the three
# contracts.
set(core_def ${CMAKE_CURRENT_BINARY_DIR}/forward/simplatform.def)
file(CONFIGURE OUTPUT ${core_def} CONTENT
  "; Generated from platform/*.def: the names the platform's libraries forward here.\nLIBRARY simplatform.dll\nEXPORTS\n${core_exports}"
  @ONLY)
add_library(simplatform_dll SHARED ${core_def})
set_target_properties(simplatform_dll PROPERTIES OUTPUT_NAME simplatform PREFIX "" LINKER_LANGUAGE CXX)
target_link_libraries(simplatform_dll PRIVATE -Wl,--whole-archive simplatform -Wl,--no-whole-archive)
target_link_options(simplatform_dll PRIVATE -static)
foreach(library ${KELVOROV_PLATFORM_LIBRARIES})
  add_dependencies(${library} simplatform_dll)
endforeach()

add_executable(kelvorov app/main.cpp)
add_dependencies(kelvorov platform_contract ${KELVOROV_PLATFORM_LIBRARIES})
target_link_libraries(kelvorov PRIVATE kelvorov_system ${contract_imports} wsock32 user32)
target_link_options(kelvorov PRIVATE -static)

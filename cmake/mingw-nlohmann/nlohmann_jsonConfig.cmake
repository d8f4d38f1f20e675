# nlohmann_json for MinGW builds: the build machine's header-only library,
# seen through a folder that holds nothing but its nlohmann/ headers.
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()

find_path(KELVOROV_HOST_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp
  PATHS /usr/include /usr/local/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KELVOROV_HOST_NLOHMANN_JSON_INCLUDE)
  set(nlohmann_json_FOUND FALSE)
  set(nlohmann_json_NOT_FOUND_MESSAGE
      "nlohmann/json.hpp not found on the build machine (Debian: nlohmann-json3-dev)")
  return()
endif()

set(_kelvorov_json_include ${CMAKE_BINARY_DIR}/nlohmann-json-include)
if(NOT EXISTS ${_kelvorov_json_include}/nlohmann/json.hpp)
  file(MAKE_DIRECTORY ${_kelvorov_json_include})
  file(CREATE_LINK ${KELVOROV_HOST_NLOHMANN_JSON_INCLUDE}/nlohmann
       ${_kelvorov_json_include}/nlohmann SYMBOLIC COPY_ON_ERROR)
endif()

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${_kelvorov_json_include})
unset(_kelvorov_json_include)

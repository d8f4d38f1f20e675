# Shared part of the MinGW-w64 toolchain files. The including file sets
# MINGW_TRIPLET (x86_64-w64-mingw32 or i686-w64-mingw32) and
# CMAKE_SYSTEM_PROCESSOR before it includes this one.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Libraries and headers come from the cross tree only; programs (cmake's
# helpers, wine) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# nlohmann/json is header-only and the same for every target, but the build
# machine's package points its include folder at /usr/include, whose C
# headers must never reach a MinGW compile. This package folder provides a
# target that sees the json headers alone.
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-nlohmann CACHE PATH
    "nlohmann_json package for MinGW builds" FORCE)

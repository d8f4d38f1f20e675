# The Windows ZIP package, one per architecture. From a Windows build:
#   cmake --build build-windows-i686 -j2 && (cd build-windows-i686 && cpack -G ZIP)
# gives build-windows-i686/kelvorov-<version>-win32.zip (win64 for x86_64;
# without a project version, kelvorov-win32.zip):
# kelvorov.exe with the platform's DLLs beside it, the README, docs/windows.md
# and the example map, in one folder, ready to run under Windows or Wine.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(kelvorov_windows_system win32)
else()
  set(kelvorov_windows_system win64)
endif()

install(TARGETS kelvorov ${KELVOROV_PLATFORM_LIBRARIES} simplatform_dll
  RUNTIME DESTINATION .
  LIBRARY DESTINATION .
  ARCHIVE EXCLUDE_FROM_ALL)
install(FILES README.md examples/site.json DESTINATION .)
install(FILES docs/windows.md DESTINATION docs)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kelvorov)
set(CPACK_SYSTEM_NAME ${kelvorov_windows_system})
if(PROJECT_VERSION)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME kelvorov-${PROJECT_VERSION}-${kelvorov_windows_system})
else()
  set(CPACK_PACKAGE_FILE_NAME kelvorov-${kelvorov_windows_system})
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

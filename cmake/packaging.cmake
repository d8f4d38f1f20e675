# Install rules and the Debian package. From a Release build:
#   cmake --preset package && cmake --build --preset package
#   (cd build-package && cpack -G DEB)
# gives build-package/kelvorov_<version>_<arch>.deb.
#
# Paths under /etc and /lib are absolute: Debian keeps configuration and
# systemd units there, outside the /usr prefix of everything else.

include(GNUInstallDirs)
set(KELVOROV_PACKAGING ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(KELVOROV_DOC ${CMAKE_INSTALL_DATADIR}/doc/kelvorov)

# The changelog's latest entry names the version that the package gets.
file(STRINGS ${KELVOROV_PACKAGING}/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^kelvorov \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog begins \"${changelog_head}\", "
                      "not an entry for version ${PROJECT_VERSION}")
endif()

# Man pages and the changelog go in compressed, as Debian wants them: gzip
# -9n, no name or time stamp inside, so that the package is reproducible.
set(compressed)
foreach(source kelvorov.8 simplatform-ctl.1 debian/changelog)
  get_filename_component(name ${source} NAME)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${KELVOROV_PACKAGING}/${source} ${copy}
    COMMAND gzip -9nf ${copy}
    DEPENDS ${KELVOROV_PACKAGING}/${source}
    VERBATIM)
  list(APPEND compressed ${copy}.gz)
endforeach()
add_custom_target(packaging_files ALL DEPENDS ${compressed})
set(packaged ${CMAKE_CURRENT_BINARY_DIR}/packaging)

# Every symbol bound at start, so that the whole relocation table can be made
# read-only (Debian's hardening; no cost once running).
target_link_options(kelvorov PRIVATE -Wl,-z,now)
target_link_options(simplatform-ctl PRIVATE -Wl,-z,now)

install(TARGETS kelvorov simplatform-ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${packaged}/kelvorov.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${packaged}/simplatform-ctl.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${packaged}/changelog.gz ${KELVOROV_PACKAGING}/debian/copyright DESTINATION ${KELVOROV_DOC})
install(DIRECTORY examples/ DESTINATION ${KELVOROV_DOC}/examples)
install(FILES ${KELVOROV_PACKAGING}/simplatform-ctl.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME simplatform-ctl)
install(FILES ${KELVOROV_PACKAGING}/default DESTINATION /etc/default RENAME kelvorov)
install(FILES examples/site.json DESTINATION /etc/kelvorov)
install(FILES ${KELVOROV_PACKAGING}/kelvorov.service DESTINATION /lib/systemd/system)
# The kernel's limit on the trap socket's receive buffer, raised to what the
# service asks for; under /usr, so /etc/sysctl.d/60-kelvorov.conf overrides it.
install(FILES ${KELVOROV_PACKAGING}/sysctl.conf DESTINATION lib/sysctl.d RENAME 60-kelvorov.conf)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvorov)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Seed 9e4fa4ce maintainers <maintainers@users.noreply.c-seed-9e4fa4ce.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UPS state on a network map, with a simulated map platform")
set(CPACK_PACKAGE_DESCRIPTION
  "kelvorov finds a UPS on a network-management platform's map and shows the\n"
  "conditions that the UPS reports in SNMP traps (power failure, battery low,\n"
  "overload, ...) as the status and label of its symbols.\n"
  "\n"
  "The package runs it on a simulated platform: a JSON map file, an SNMP\n"
  "trap and inform receiver (v1, v2c, v3), a control port with its client\n"
  "simplatform-ctl, and a read-only HTTP page of the map. A systemd service\n"
  "runs it as a dynamic user on UDP port 162.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS snmp)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${KELVOROV_PACKAGING}/debian/conffiles
  ${KELVOROV_PACKAGING}/debian/postinst
  ${KELVOROV_PACKAGING}/debian/prerm
  ${KELVOROV_PACKAGING}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

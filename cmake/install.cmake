# Installation: the program, its systemd unit, the entry that loads i2c-dev
# at boot, the groups the unit needs, the manual page; and the Debian
# package built from the same tree by CPack.
include(GNUInstallDirs)

# The unit goes to lib/systemd/system under the prefix given at install
# time: /usr/lib/systemd/system for the package, /usr/local/lib/systemd/system
# for a build on the Pi; systemd reads both. /usr/lib rather than /lib: on
# Debian 13 and the Raspberry Pi OS built on it, /lib is a link to /usr/lib,
# and a unit shipped through the link could be lost when a later version
# moves it.
set(KELVANE_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the systemd unit is installed (relative: under the install prefix)")

configure_file(dist/kelvane.8 kelvane.8 @ONLY)

# ExecStart names the binary where it is installed, which is known only at
# install time (cmake --install --prefix); the unit is written then.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(bindir "${CMAKE_INSTALL_BINDIR}")
else()
  set(bindir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()
set(unit_template ${PROJECT_SOURCE_DIR}/dist/kelvane.service.in)
set(unit ${CMAKE_CURRENT_BINARY_DIR}/install/kelvane.service)

# Manual page and changelog compressed, as Debian ships them.
set(gzipped)
foreach(file ${CMAKE_CURRENT_BINARY_DIR}/kelvane.8 ${PROJECT_SOURCE_DIR}/dist/debian/changelog)
  get_filename_component(name ${file} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${out} COMMAND gzip -9n -c ${file} > ${out} DEPENDS ${file})
  list(APPEND gzipped ${out})
endforeach()
add_custom_target(kelvane_docs ALL DEPENDS ${gzipped})

install(TARGETS kelvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(CODE "
  set(KELVANE_INSTALLED_BINARY \"${bindir}/kelvane\")
  configure_file(\"${unit_template}\" \"${unit}\" @ONLY)
")
install(FILES ${unit} dist/kelvane-retry.timer DESTINATION ${KELVANE_SYSTEMD_UNIT_DIR})
# The rule that makes the bus devices systemd units; udev reads
# lib/udev/rules.d under /usr and /usr/local alike.
install(FILES dist/udev.rules DESTINATION lib/udev/rules.d RENAME 60-kelvane.rules)
# systemd reads modules-load.d and sysusers.d from lib, never from a
# multiarch libdir.
install(FILES dist/modules-load.conf DESTINATION lib/modules-load.d RENAME kelvane.conf)
install(FILES dist/sysusers.conf DESTINATION lib/sysusers.d RENAME kelvane.conf)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kelvane.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES dist/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(KELVANE_MAINTAINER "kelvane developers <kelvane-dev@example.org>" CACHE STRING
    "Maintainer of the Debian package")
set(CPACK_PACKAGE_CONTACT ${KELVANE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# 64-bit Raspberry Pi OS is arm64, 32-bit is armhf (also on a 64-bit
# kernel); elsewhere CPack asks dpkg.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), wiringpi, init-system-helpers (>= 1.52), systemd | systemd-standalone-sysusers | systemd-sysusers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CPU temperature feed for an I2C cooling board")
set(CPACK_PACKAGE_DESCRIPTION "kelvane reads the Raspberry Pi's CPU temperature every 500 ms and
writes it in whole degrees to register 3 of the cooling board at I2C address
0x0B, after a handshake on register 1. It runs as a hardened systemd service
without root, and is restarted while the board is away.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/dist/debian/postinst ${PROJECT_SOURCE_DIR}/dist/debian/prerm
    ${PROJECT_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)

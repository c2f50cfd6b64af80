# The Debian packages of a Release build (scripts/package): updater, the
# program and what dist/ installs for it; updater-standins, the stand-ins.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VENDOR Veltrane)
set(CPACK_PACKAGE_CONTACT "Veltrane <maintainers@veltrane.example>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY updater)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL updater standins)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# updater_VERSION_ARCH.deb
set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME updater)
set(CPACK_DEBIAN_UPDATER_FILE_NAME DEB-DEFAULT)
# Each description's first line is its synopsis; no package-wide summary is
# set, as CPack would put it before both.
set(CPACK_DEBIAN_UPDATER_DESCRIPTION "discover, update and recover Tolvarine modules
Updater lists the Tolvarine modules connected over USB, over the local
network or behind a router module, downloads firmware packages from an
update server into a store under the user's home directory, writes firmware
into a running module, and recovers a module from its chip's ROM boot
loader over a serial port or USB.")
set(CPACK_DEBIAN_UPDATER_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_UPDATER_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/postinst ${CMAKE_CURRENT_SOURCE_DIR}/dist/postrm)
set(CPACK_DEBIAN_UPDATER_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# updater-standins_VERSION_all.deb
set(CPACK_DEBIAN_STANDINS_PACKAGE_NAME updater-standins)
set(CPACK_DEBIAN_STANDINS_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_STANDINS_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_STANDINS_PACKAGE_DEPENDS python3)
set(CPACK_DEBIAN_STANDINS_DESCRIPTION "stand-ins for Tolvarine modules, chips and the update server
Python 3 programs (standard library only) that answer like Tolvarine
modules over TCP/IP and a pseudo-terminal, like the chips' ROM boot loaders,
and like the update server, so that Updater and scripts can be tried and
tested without hardware. They live under /usr/share/updater-standins/sim.")

include(CPack)

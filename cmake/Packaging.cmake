# The Debian package of a Release build (scripts/package): the program and
# what dist/ installs, nothing else.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VENDOR Veltrane)
set(CPACK_PACKAGE_CONTACT "Veltrane <maintainers@veltrane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "discover, update and recover Tolvarine modules")
set(CPACK_PACKAGE_DESCRIPTION
  "Updater lists the Tolvarine modules connected over USB, over the local
network or behind a router module, downloads firmware packages from an
update server into a store under the user's home directory, writes firmware
into a running module, and recovers a module from its chip's ROM boot
loader over a serial port or USB.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY updater)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# updater_VERSION_ARCH.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/dist/postinst ${CMAKE_CURRENT_SOURCE_DIR}/dist/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

# The Debian package (cpack -G DEB, or scripts/package.sh): everything the
# install rules put under /usr, stripped, with Depends computed from the
# shared libraries the programs use, and maintainer scripts that make udev
# take the handsets' rules.

set(ORIEL_PACKAGE_RELEASE "1" CACHE STRING "Debian revision of the package")
set(ORIEL_PACKAGE_MAINTAINER "ORIEL Tools <oriel-tools@example.org>" CACHE STRING
    "Maintainer field of the package: name <address>")
set(ORIEL_PACKAGE_VERSION "${PROJECT_VERSION}-${ORIEL_PACKAGE_RELEASE}")

# The Debian change log of this package version, compressed as policy wants it.
configure_file(deploy/debian/changelog.in "${CMAKE_BINARY_DIR}/deploy/changelog.in" @ONLY)
find_program(GZIP_EXECUTABLE gzip)
if(GZIP_EXECUTABLE)
    add_custom_command(
        OUTPUT "${CMAKE_BINARY_DIR}/deploy/changelog.Debian.gz"
        COMMAND ${CMAKE_COMMAND} -E copy "${CMAKE_BINARY_DIR}/deploy/changelog.in"
                "${CMAKE_BINARY_DIR}/deploy/changelog.Debian"
        COMMAND ${GZIP_EXECUTABLE} -9 -n -f "${CMAKE_BINARY_DIR}/deploy/changelog.Debian"
        DEPENDS "${CMAKE_BINARY_DIR}/deploy/changelog.in"
        VERBATIM)
    add_custom_target(debian_changelog ALL DEPENDS "${CMAKE_BINARY_DIR}/deploy/changelog.Debian.gz")
    install(FILES "${CMAKE_BINARY_DIR}/deploy/changelog.Debian.gz"
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORIEL_PACKAGE_NAME})
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "${ORIEL_PACKAGE_NAME}")
set(CPACK_PACKAGE_VENDOR "ORIEL Tools")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ORIEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${ORIEL_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORIEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its SQL drivers as plugins, which dpkg-shlibdeps cannot see: the
# flash history needs SQLite (the default) and PostgreSQL (a shared database).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, libqt6sql6-psql")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_SOURCE_DIR}/deploy/debian/postinst;${CMAKE_SOURCE_DIR}/deploy/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The summary is the synopsis line; the description below it the long text.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware downloaders for mobile handsets")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tools that write firmware into mobile handsets on a factory line or at a
service desk: oriel_downloader serves one handset over one serial port
(boot-ROM handshake, NOR flash download, erase and dump, the on-device MFX
file system); fleet_downloader serves up to eight handsets at once over USB.
Each has a window and a command line (oriel_cli, fleet_cli) over the same
core. Simulated handsets on pseudo-terminals (oriel_handset_sim,
fleet_handset_sim) serve as test peers and demo targets; fleet_pack and
fleet_mkimg build line tools and test images.")

include(CPack)

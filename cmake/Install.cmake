# What `cmake --install` puts where (GNU directories under the prefix): the
# programs a user runs, their manual pages (help2man from each program's own
# --help, with the hand-written sections of deploy/man/NAME.h2m), the menu
# entries and icons of the two windows, shell completion of the two command
# lines, and the fleet handsets' udev rules. Nothing installed refers back to
# the build tree.

include(GNUInstallDirs)

set(ORIEL_PACKAGE_NAME "oriel-suite")
set(ORIEL_USER_PROGRAMS
    oriel_downloader fleet_downloader oriel_cli fleet_cli
    fleet_pack fleet_mkimg oriel_handset_sim fleet_handset_sim)

# udev reads /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d, so the
# rules stay under the prefix.
set(ORIEL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rules go, relative to the prefix or absolute")
set(FLEET_HANDSET_VENDOR_ID "" CACHE STRING
    "USB vendor id of the fleet handsets for the udev rules (four hex digits); empty: the rules match no device until it is set")

install(TARGETS ${ORIEL_USER_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# --- manual pages ---------------------------------------------------------------
find_program(HELP2MAN_EXECUTABLE help2man)
find_program(GZIP_EXECUTABLE gzip)
set(_man_summary_oriel_downloader "write firmware into one handset over a serial port (window)")
set(_man_summary_fleet_downloader "write firmware into up to eight handsets at once (window)")
set(_man_summary_oriel_cli "write firmware into one handset over a serial port")
set(_man_summary_fleet_cli "serve handsets of a production line, up to eight at once")
set(_man_summary_fleet_pack "append an image container to a fleet program")
set(_man_summary_fleet_mkimg "build test images for the fleet downloader")
set(_man_summary_oriel_handset_sim "simulated single-port handset on a pseudo-terminal")
set(_man_summary_fleet_handset_sim "simulated fleet handsets on pseudo-terminals")
if(HELP2MAN_EXECUTABLE AND GZIP_EXECUTABLE)
    set(_man_pages "")
    foreach(program IN LISTS ORIEL_USER_PROGRAMS)
        set(page "${CMAKE_BINARY_DIR}/man/${program}.1")
        set(include "${CMAKE_SOURCE_DIR}/deploy/man/${program}.h2m")
        # The date of the page is the release's, so a rebuild gives the same bytes.
        add_custom_command(
            OUTPUT "${page}.gz"
            COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/man"
            COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ORIEL_RELEASE_EPOCH}
                    QT_QPA_PLATFORM=offscreen
                    ${HELP2MAN_EXECUTABLE} --no-info --section=1
                    "--name=${_man_summary_${program}}"
                    "--include=${include}" "--output=${page}" "$<TARGET_FILE:${program}>"
            COMMAND ${GZIP_EXECUTABLE} -9 -n -f "${page}"
            DEPENDS ${program} "${include}"
            COMMENT "Manual page ${program}(1)"
            VERBATIM)
        list(APPEND _man_pages "${page}.gz")
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${_man_pages})
    install(FILES ${_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    message(WARNING "help2man or gzip not found: the manual pages are neither built nor installed "
                    "(scripts/install-deps.sh installs help2man)")
endif()

# --- menu entries, icons, completion ---------------------------------------------------
install(FILES deploy/desktop/oriel_downloader.desktop deploy/desktop/fleet_downloader.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES deploy/icons/oriel_downloader.svg deploy/icons/fleet_downloader.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# bash-completion loads a command's completion by the command's name: one
# script serves both, fleet_cli is a link to it.
set(_completions "${CMAKE_BINARY_DIR}/completions")
file(MAKE_DIRECTORY "${_completions}")
configure_file(deploy/completions/oriel-suite.bash "${_completions}/oriel_cli" COPYONLY)
file(CREATE_LINK oriel_cli "${_completions}/fleet_cli" SYMBOLIC)
install(FILES "${_completions}/oriel_cli" "${_completions}/fleet_cli"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# --- udev rules -----------------------------------------------------------------------
if(FLEET_HANDSET_VENDOR_ID)
    if(NOT FLEET_HANDSET_VENDOR_ID MATCHES "^(0[xX])?[0-9a-fA-F][0-9a-fA-F][0-9a-fA-F][0-9a-fA-F]$")
        message(FATAL_ERROR "FLEET_HANDSET_VENDOR_ID must be four hex digits, not '${FLEET_HANDSET_VENDOR_ID}'")
    endif()
    string(REGEX REPLACE "^0[xX]" "" VENDOR "${FLEET_HANDSET_VENDOR_ID}")
    string(TOLOWER "${VENDOR}" VENDOR)
    set(FLEET_UDEV_NOTE
"# Built for vendor id ${VENDOR}. For another one, put a copy with that id
# in /etc/udev/rules.d/70-fleet-handsets.rules (it takes the place of this
# file) and run: udevadm control --reload-rules; udevadm trigger --subsystem-match=tty")
else()
    # Left as it is, the placeholder matches no device.
    set(VENDOR "@VENDOR@")
    set(FLEET_UDEV_NOTE
"# NO VENDOR ID WAS SET WHEN THIS FILE WAS BUILT: it matches no device.
# To set it, with 04e8 standing for the handsets' vendor id as lsusb shows it,
# and this file's path (/usr/lib/udev/rules.d/ from the package):
#   sed s/@VENDOR@/04e8/ /usr/lib/udev/rules.d/70-fleet-handsets.rules |
#       sudo tee /etc/udev/rules.d/70-fleet-handsets.rules
#   sudo udevadm control --reload-rules; sudo udevadm trigger --subsystem-match=tty
# A file of the same name in /etc/udev/rules.d takes the place of this one.
# Or build the package with the id: scripts/package.sh --vendor-id 04e8")
endif()
configure_file(deploy/udev/70-fleet-handsets.rules.in
               "${CMAKE_BINARY_DIR}/deploy/70-fleet-handsets.rules" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/deploy/70-fleet-handsets.rules"
        DESTINATION ${ORIEL_UDEV_RULES_DIR})

# --- documentation -------------------------------------------------------------------
install(FILES deploy/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORIEL_PACKAGE_NAME})

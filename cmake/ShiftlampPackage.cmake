# The Debian package of shiftlamp-send, made by CPack from the cli tree:
# the program, its manual page and bash completion, the copyright and
# changelog where Debian keeps them. `cpack` in the tree (or
# scripts/release.sh) writes shiftlamp-send_<version>_<arch>.deb.
include(GNUInstallDirs)

set(SHIFTLAMP_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(SHIFTLAMP_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/shiftlamp-send)

# A release without its changelog entry would ship a package whose own
# history denies its version.
file(STRINGS ${SHIFTLAMP_PACKAGING}/debian/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^shiftlamp-send \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog does not begin with an entry for version ${PROJECT_VERSION}")
endif()

# Compressed as Debian wants them: best compression, no name or time stamp,
# so that two builds give the same bytes.
function(shiftlamp_gzip source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND gzip -9 -n -c ${source} > ${output}
                     DEPENDS ${source}
                     COMMENT "Compressing ${output}")
endfunction()

set(man_source ${CMAKE_CURRENT_BINARY_DIR}/packaging/shiftlamp-send.1)
configure_file(${CMAKE_SOURCE_DIR}/src/cli/shiftlamp-send.1.in ${man_source} @ONLY)
shiftlamp_gzip(${man_source} ${CMAKE_CURRENT_BINARY_DIR}/packaging/shiftlamp-send.1.gz)
shiftlamp_gzip(${SHIFTLAMP_PACKAGING}/debian/changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
add_custom_target(shiftlamp_send_docs ALL
                  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/shiftlamp-send.1.gz
                          ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)

# Stripped as Debian's own packages are: the compilers' names and versions in
# .comment are of no use to anyone running the program.
install(CODE "execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
                              \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/shiftlamp-send
                              COMMAND_ERROR_IS_FATAL ANY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/shiftlamp-send.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/src/cli/shiftlamp-send.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME shiftlamp-send)
install(FILES ${SHIFTLAMP_PACKAGING}/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${SHIFTLAMP_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME shiftlamp-send)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Shiftlamp authors")
set(CPACK_PACKAGE_CONTACT "Shiftlamp authors <shiftlamp@users.noreply.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "drive a 74HC595 shift register from a serial port's modem lines")
# The synopsis comes from the summary; this is the extended description.
set(CPACK_PACKAGE_DESCRIPTION
    "shiftlamp-send sets the eight outputs of a 74HC595 shift register wired to
a serial port's modem-control lines: RTS carries the data, DTR is the shift
clock and the break on TXD latches the outputs. No character is ever sent,
so any USB serial adapter with DTR and RTS will do.
.
Patterns come as arguments or one per line from standard input (so that a
script or a pipe can drive LEDs or relays), with any step and hold time,
repeats and inverted levels. A dry run prints the planned line changes, and
a trace of them can be written as a VCD waveform for sigrok, PulseView or
GTKWave. --list shows the machine's serial ports without opening any, and
--check tells whether a port will work and, if not, why.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Every file as root's, directories 0755, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

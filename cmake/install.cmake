# Install rules: the two programs, their manual pages, the service and socket units.
#
# The server goes to sbin: it is a daemon that the service manager starts,
# not a command for users, and its manual page is in section 8. The
# reference command processor is a tool anybody may run, so it goes to bin.
include(GNUInstallDirs)

# Units live in lib/systemd/system under the prefix on every distribution,
# also where libdir is a multiarch directory, so this is not CMAKE_INSTALL_LIBDIR.
set(ZORVANE_SYSTEMD_UNITDIR "lib/systemd/system"
    CACHE STRING "Directory of the service unit, relative to the install prefix or absolute")
if(IS_ABSOLUTE "${ZORVANE_SYSTEMD_UNITDIR}")
  set(ZORVANE_UNIT_DIR_PATH "${ZORVANE_SYSTEMD_UNITDIR}")
else()
  set(ZORVANE_UNIT_DIR_PATH "${CMAKE_INSTALL_PREFIX}/${ZORVANE_SYSTEMD_UNITDIR}")
endif()
set(ZORVANE_UNIT_PATH "${ZORVANE_UNIT_DIR_PATH}/zorvane-server.service")
set(ZORVANE_SOCKET_UNIT_PATH "${ZORVANE_UNIT_DIR_PATH}/zorvane-server.socket")

# Paths written into the unit and the manual pages are those of the final
# system: they are fixed when CMake configures, so give CMAKE_INSTALL_PREFIX
# then (DESTDIR only relocates the copy).
configure_file(${PROJECT_SOURCE_DIR}/packaging/zorvane-server.service.in
               ${PROJECT_BINARY_DIR}/packaging/zorvane-server.service @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/man/zorvane-server.8.in
               ${PROJECT_BINARY_DIR}/man/zorvane-server.8 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/man/zorvane-cmdproc.1.in
               ${PROJECT_BINARY_DIR}/man/zorvane-cmdproc.1 @ONLY)

# --help names where the manual page is.
target_compile_definitions(zorvane-server PRIVATE ZORVANE_MANDIR="${CMAKE_INSTALL_FULL_MANDIR}")

install(TARGETS zorvane-server RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS zorvane-cmdproc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/man/zorvane-server.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_BINARY_DIR}/man/zorvane-cmdproc.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/packaging/zorvane-server.service ${PROJECT_SOURCE_DIR}/packaging/zorvane-server.socket
        DESTINATION ${ZORVANE_SYSTEMD_UNITDIR})
# A template for /etc/default/zorvane-server; the unit runs without that file.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zorvane-server.default DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

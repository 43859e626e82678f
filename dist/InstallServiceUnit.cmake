# Run at install time (`cmake --install`, cpack): the unit's ExecStart names
# the program under this install's own prefix, which configure time cannot
# know. Expects VARDOCAM_UNIT_SOURCE, VARDOCAM_UNIT_BINDIR, VARDOCAM_UNIT_STAGE.
if(IS_ABSOLUTE "${VARDOCAM_UNIT_BINDIR}")
  set(VARDOCAM_INSTALLED_BINDIR "${VARDOCAM_UNIT_BINDIR}")
else()
  set(VARDOCAM_INSTALLED_BINDIR "${CMAKE_INSTALL_PREFIX}/${VARDOCAM_UNIT_BINDIR}")
endif()
# One staging folder per destination, so that two installs at once (the
# install check and cpack) do not write the same file.
string(MD5 _destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_staged "${VARDOCAM_UNIT_STAGE}/${_destination}/vardocam@.service")
configure_file("${VARDOCAM_UNIT_SOURCE}" "${_staged}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE FILES "${_staged}")

# Where `cmake --install` (and `make install`) puts the host and what it ships,
# in the places the FHS gives them, and how `cpack -G DEB` packages them. The
# installed binary finds sql/ and api/ in ../share/backoffice.
include(GNUInstallDirs)
# Installing (and cpack) takes the build as it is: `make install` and `make test` build first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(BACKOFFICE_SHARE ${CMAKE_INSTALL_DATADIR}/backoffice)
install(TARGETS backoffice RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES sql/schema.sql sql/demo.sql DESTINATION ${BACKOFFICE_SHARE}/sql)
install(FILES api/openapi.json DESTINATION ${BACKOFFICE_SHARE}/api)
install(DIRECTORY src/platform/format/labels/ DESTINATION ${BACKOFFICE_SHARE}/labels FILES_MATCHING PATTERN "*.txt")

# The units name the packaged binary (/usr/bin/backoffice); installed under
# another prefix they name the binary there (the prefix is known at install time:
# cpack installs into /usr).
file(GLOB units CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/deploy/systemd/*.service ${PROJECT_SOURCE_DIR}/deploy/systemd/*.timer)
install(CODE "
  foreach(unit ${units})
    file(READ \${unit} text)
    string(REPLACE /usr/bin/backoffice \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/backoffice text \"\${text}\")
    get_filename_component(name \${unit} NAME)
    file(WRITE \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/\${name} \"\${text}\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/\${name}\")
  endforeach()")

install(FILES deploy/bash-completion/backoffice DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# logrotate reads /etc/logrotate.d whatever the prefix
install(FILES deploy/logrotate/backoffice DESTINATION /etc/logrotate.d)
if(EXISTS ${PROJECT_SOURCE_DIR}/deploy/prometheus)
  install(DIRECTORY deploy/prometheus/ DESTINATION ${BACKOFFICE_SHARE}/prometheus)
endif()

# The man page is made from the command's own --help texts by help2man.
find_program(HELP2MAN help2man REQUIRED)
set(man ${CMAKE_CURRENT_BINARY_DIR}/man/backoffice.1)
add_custom_command(OUTPUT ${man}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
  COMMAND ${HELP2MAN} --no-info --section=1 --name=order\ back\ office --help-option=--help-all
          --version-option=--version --output=${man} $<TARGET_FILE:backoffice>
  COMMAND gzip -9nf ${man}
  DEPENDS backoffice)
add_custom_target(backoffice_man ALL DEPENDS ${man}.gz)
install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# cpack -G DEB: one package; postinst makes the service user, removal leaves
# installations (/srv/backoffice) alone.
set(CPACK_PACKAGE_NAME backoffice)
set(CPACK_PACKAGE_CONTACT "back office maintainers <backoffice@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "order back office: batch, payment runs and HTTP host")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/deploy/debian/postinst ${PROJECT_SOURCE_DIR}/deploy/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

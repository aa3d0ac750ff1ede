# Installing CAROB and building its Debian package.
#
#   cmake --install build [--prefix DIR]     (default prefix /usr/local)
#   cd build && cpack -G DEB                  (prefix /usr)
#
# The programs themselves go to <libexec>/carob, each beside a file
# "<program>.folder" that names its program folder in the family's root
# ("C:\ORB\CAROB", "C:\ORB\TOOLS"), so that an installed program keeps its
# knowledge, settings, logs and queues under ORB_ROOT, never under the
# prefix. <bin>/carob and <bin>/orb are small launchers that settle the
# family's root and shared temporary folder, then start them.
include(GNUInstallDirs)

set(CAROB_PACKAGE_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(CAROB_LIBEXEC_DIR ${CMAKE_INSTALL_LIBEXECDIR}/carob)
# The launchers find the programs relative to themselves, so that an
# installed tree also runs where it was unpacked (dpkg -x).
file(RELATIVE_PATH CAROB_LIBEXEC_REL /${CMAKE_INSTALL_BINDIR} /${CAROB_LIBEXEC_DIR})

foreach(program carob orb)
  set(PROGRAM ${program})
  set(LIBEXEC_REL ${CAROB_LIBEXEC_REL})
  if(program STREQUAL "carob")
    set(FOLDER "C:\\ORB\\CAROB")
  else()
    set(FOLDER "C:\\ORB\\TOOLS")
  endif()
  configure_file(${CAROB_PACKAGE_DIR}/launcher.in ${CMAKE_BINARY_DIR}/packaging/${program} @ONLY)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CAROB_LIBEXEC_DIR})
  endif()
  install(FILES ${CAROB_PACKAGE_DIR}/${program}.folder DESTINATION ${CAROB_LIBEXEC_DIR})
  install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/${program} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# Man pages, compressed as Debian keeps them.
set(VERSION ${PROJECT_VERSION})
foreach(page carob.1 orb.1)
  configure_file(${CAROB_PACKAGE_DIR}/man/${page} ${CMAKE_BINARY_DIR}/packaging/man/${page} @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/packaging/man/${page}.gz
    COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/man/${page} > ${CMAKE_BINARY_DIR}/packaging/man/${page}.gz
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/man/${page}
    VERBATIM)
  list(APPEND CAROB_MAN_PAGES ${CMAKE_BINARY_DIR}/packaging/man/${page}.gz)
endforeach()
add_custom_target(carob_man_pages ALL DEPENDS ${CAROB_MAN_PAGES})
install(FILES ${CAROB_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CAROB_PACKAGE_DIR}/orb.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME orb)
install(FILES ${CAROB_PACKAGE_DIR}/carob.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CAROB_PACKAGE_DIR}/carob.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
# The same drawing as PNGs, for docks and menus that take no SVG; made from
# it by scripts/icons.sh and checked in.
foreach(size 16 32 48 64 128 256)
  install(FILES ${CAROB_PACKAGE_DIR}/icons/carob-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME carob.png)
endforeach()

# systemd user units: the dispatcher, and CAROB without a window, both
# sandboxed alike (packaging/units-sandbox.conf, put in at @SANDBOX@). Their
# ExecStart names the launcher by its full path under the prefix in force
# when installing (/usr for the package), so they are made then.
foreach(unit carob-dispatch.service carob.service)
  install(CODE "
    set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(READ \"${CAROB_PACKAGE_DIR}/units-sandbox.conf\" SANDBOX)
    string(STRIP \"\${SANDBOX}\" SANDBOX)
    configure_file(\"${CAROB_PACKAGE_DIR}/${unit}.in\" \"${CMAKE_BINARY_DIR}/packaging/units/${unit}\" @ONLY)")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/units/${unit} DESTINATION lib/systemd/user)
endforeach()

install(FILES ${CAROB_PACKAGE_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The package's changelog, in Debian's format. The package is native (its
# version is the project's), so Debian names it changelog.gz. Its latest
# entry must be this version's: a version raised without an entry stops the
# configuration here rather than making a package that lintian refuses.
set(CAROB_CHANGELOG ${CAROB_PACKAGE_DIR}/changelog)
file(STRINGS ${CAROB_CHANGELOG} CAROB_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT CAROB_CHANGELOG_TOP MATCHES "^carob \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${CAROB_CHANGELOG_TOP}', "
                      "not an entry for carob ${PROJECT_VERSION}")
endif()
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nc ${CAROB_CHANGELOG} > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CAROB_CHANGELOG}
  VERBATIM)
add_custom_target(carob_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package.
set(CPACK_PACKAGE_NAME carob)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "CAROB developers <carob@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small conversational program that learns facts and answers questions")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "CAROB takes sentences, learns facts of the form subject be object into a
plain-text knowledge databank and answers questions with them; on a click
it thinks, deriving new facts. Its companion tool orb is the family's
dispatcher and the user's console (orb talk). Systemd user units keep the
dispatcher and a windowless CAROB running.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed with DESTDIR, so that the install prefix is /usr itself (the
# units name /usr/bin).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# What the operators install, and the packages that carry it:
#   Linux:   cpack -G DEB   in a build folder: zolt-server_<version>_<arch>.deb
#   Windows: cpack -G ZIP   in the cross build: zolt-server-<version>-windows-x64.zip
# The files of both besides the programs are in packaging/.
set(ZOLT_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(ZOLT_PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package-files)
file(GLOB ZOLT_SAMPLE_MAPS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/maps/*.txt)

set(CPACK_PACKAGE_NAME zolt-server)
set(CPACK_PACKAGE_VENDOR "ZOLT server maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZOLT game server for networked players")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  # One folder that runs from wherever it was unpacked: the programs, the
  # sample maps, and zolt-start.cmd and zolt-keep.cmd, which find both
  # beside themselves.
  install(TARGETS zolt-server zolt-client RUNTIME DESTINATION .)
  install(FILES ${ZOLT_SAMPLE_MAPS} DESTINATION maps)
  # Windows' editors and cmd.exe want CR LF line ends.
  configure_file(${CMAKE_SOURCE_DIR}/docs/windows.md ${ZOLT_PACKAGE_STAGE}/README.txt
    @ONLY NEWLINE_STYLE CRLF)
  foreach(launcher zolt-start.cmd zolt-keep.cmd)
    configure_file(${ZOLT_PACKAGING_DIR}/${launcher} ${ZOLT_PACKAGE_STAGE}/${launcher}
      @ONLY NEWLINE_STYLE CRLF)
  endforeach()
  install(FILES ${ZOLT_PACKAGE_STAGE}/README.txt ${ZOLT_PACKAGE_STAGE}/zolt-start.cmd
    ${ZOLT_PACKAGE_STAGE}/zolt-keep.cmd DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME zolt-server-${PROJECT_VERSION}-windows-x64)
else()
  include(GNUInstallDirs)
  set(ZOLT_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/zolt-server)
  install(TARGETS zolt-server zolt-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${ZOLT_SAMPLE_MAPS} DESTINATION ${CMAKE_INSTALL_DATADIR}/zolt-server/maps)
  # The unit names /usr/bin and /usr/share: it belongs to the package, whose
  # prefix is /usr.
  install(FILES ${ZOLT_PACKAGING_DIR}/zolt-server@.service DESTINATION lib/systemd/system)
  install(FILES ${ZOLT_PACKAGING_DIR}/lan1.ini DESTINATION ${ZOLT_DOC_DIR}/examples)
  install(FILES ${ZOLT_PACKAGING_DIR}/copyright DESTINATION ${ZOLT_DOC_DIR})
  install(DIRECTORY DESTINATION /etc/zolt-server)

  # Debian wants its changelog and man pages compressed, without a time
  # stamp in the gzip header. The man pages are the programs' own --help,
  # with what it lacks from packaging/<program>.h2m; their version is the
  # project's. Both are made when installing (cpack installs first), never in
  # a build: cmake/package-files.cmake writes them into the folder below,
  # which the install rules after it take them from.
  find_program(ZOLT_GZIP gzip REQUIRED)
  find_program(ZOLT_HELP2MAN help2man)
  set(programs "")
  if(ZOLT_HELP2MAN)
    set(programs "zolt-server=$<TARGET_FILE:zolt-server>;zolt-client=$<TARGET_FILE:zolt-client>")
  else()
    message(WARNING "help2man not found (Debian package help2man): the install and the "
      "package will have no man pages")
  endif()
  install(CODE "
    set(ZOLT_GZIP [[${ZOLT_GZIP}]])
    set(ZOLT_HELP2MAN [[${ZOLT_HELP2MAN}]])
    set(ZOLT_VERSION [[${PROJECT_VERSION}]])
    set(ZOLT_PACKAGING_DIR [[${ZOLT_PACKAGING_DIR}]])
    set(ZOLT_PACKAGE_STAGE [[${ZOLT_PACKAGE_STAGE}]])
    set(ZOLT_PROGRAMS [[${programs}]])
    include([[${CMAKE_SOURCE_DIR}/cmake/package-files.cmake]])")
  install(FILES ${ZOLT_PACKAGE_STAGE}/changelog.gz DESTINATION ${ZOLT_DOC_DIR})
  if(ZOLT_HELP2MAN)
    install(FILES ${ZOLT_PACKAGE_STAGE}/zolt-server.6.gz ${ZOLT_PACKAGE_STAGE}/zolt-client.6.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "ZOLT server maintainers <maintainers@users.noreply.c-seed-18d655f5.example>"
    CACHE STRING "Maintainer field of the .deb")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The first line of the Description field is the summary above.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "zolt-server hosts one match of ZOLT: the human players' client programs\n"
    "connect over TCP and the server walks the CPU players along their routes.\n"
    "zolt-client plays a test match against it. The package has the sample maps\n"
    "and a systemd unit that runs one match per instance.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ZOLT_PACKAGING_DIR}/postinst ${ZOLT_PACKAGING_DIR}/prerm ${ZOLT_PACKAGING_DIR}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)

# The Debian package of the Linux program (cmake --install rules, CPack's DEB generator):
# the program in /usr/lib/tarvex-convert with a link in /usr/bin (an ordinary user, who may not
# write there, gets the backups in tarvex-convert in the documents folder: app/startup.cpp),
# a desktop entry with the icon, dependencies on the ODBC packages, and the "SQL Server"
# driver registered on installation when it is missing (packaging/debian).
include(GNUInstallDirs)
set(TARVEX_PROGRAM_DIR ${CMAKE_INSTALL_LIBDIR}/tarvex-convert)
install(TARGETS tarvex-convert tarvex-convert-cli RUNTIME DESTINATION ${TARVEX_PROGRAM_DIR})
install(CODE "
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(CREATE_LINK ../${TARVEX_PROGRAM_DIR}/tarvex-convert
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tarvex-convert\" SYMBOLIC)")
# The command line beside it, for scripts and schedulers.
install(CODE "
  file(CREATE_LINK ../${TARVEX_PROGRAM_DIR}/tarvex-convert-cli
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tarvex-convert-cli\" SYMBOLIC)")
install(FILES packaging/tarvex-convert.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/tarvex-convert.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvex-convert)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VeltroGRP-Tarvex data conversion tool for auditors")
set(CPACK_PACKAGE_CONTACT "Tarvex tool developers <tarvex@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# xdg-utils: the batch dialog's 打开文件夹 opens the folder with xdg-open.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc, odbcinst, tdsodbc, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

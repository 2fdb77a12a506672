# What `cmake --install` puts where, and the Debian package `cpack -G DEB` builds from it.
include(GNUInstallDirs)

install(TARGETS zephraftp zephraftp-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(ZEPHRA_DESKTOP_DIR ${PROJECT_SOURCE_DIR}/resources/desktop)
install(FILES ${ZEPHRA_DESKTOP_DIR}/org.zephraftp.ZephraFTP.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${ZEPHRA_DESKTOP_DIR}/org.zephraftp.ZephraFTP.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 32 48 64 128 256)
  install(FILES ${ZEPHRA_DESKTOP_DIR}/icons/${size}x${size}/zephraftp.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${ZEPHRA_DESKTOP_DIR}/zephraftp.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/zephraftp.1 ${PROJECT_SOURCE_DIR}/docs/man/zephraftp-cli.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME zephraftp)
set(CPACK_PACKAGE_VENDOR "ZephraFTP developers")
set(CPACK_PACKAGE_CONTACT "ZephraFTP developers <maintainers@zephraftp.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FTP client that encrypts files with a shared key")
set(CPACK_PACKAGE_DESCRIPTION
    "A desktop FTP client for people who exchange files through FTP servers they do not fully trust.\n"
    "An encrypted upload sends only ciphertext; an encrypted download decrypts locally.\n"
    "zephraftp-cli offers the transfers and the cipher to scripts.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ZephraFTP)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries' packages come from dpkg-shlibdeps; the platform plugin that draws the
# window on X11 or Wayland is a plugin Qt loads at run time, so no library names it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
include(CPack)

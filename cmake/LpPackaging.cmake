# Files that belong to the product but to no one target, and the Debian package.
install(FILES
    packaging/man/linkprobe.1 packaging/man/linkprobe-responder.1
    packaging/man/qcomm-harness.1 packaging/man/zrcdump.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES packaging/man/qcomm.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
install(FILES packaging/linkprobe.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/linkprobe.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

if(WIN32)
  include(LpWinInstaller)
  return()
endif()

# The game computer's report service at boot, installed disabled (no maintainer script
# enables it): the README gives the line that does.
install(FILES packaging/systemd/linkprobe-report.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qumex-linkprobe)
set(CPACK_PACKAGE_VENDOR "Qumex")
set(CPACK_PACKAGE_CONTACT "Qumex support <support@qumex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Diagnostic tool and communications library of the Qumex neurofeedback system")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Library dependencies are read off the binaries; the tools the program starts are named.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "iproute2, usbutils, x11-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "network-manager, policykit-1")
include(CPack)

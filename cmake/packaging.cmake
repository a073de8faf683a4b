# What is installed (cmake/install-layout.cmake says where) and the packages CPack makes from it:
# a Debian package on Linux, a zip on Windows.
#
#   cmake --build --preset linux && (cd build/linux && cpack)      build/linux/vududidi_*.deb
#   cmake --build --preset windows && (cd build/windows && cpack)  build/windows/vududidi-*.zip
install(TARGETS vududidi qorpro
        RUNTIME DESTINATION ${KIV_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${KIV_INSTALL_LIBDIR})
install(TARGETS kivhost RUNTIME DESTINATION ${KIV_INSTALL_BINDIR})
if(TARGET vxs-sim)
  install(TARGETS vxs-sim RUNTIME DESTINATION ${KIV_INSTALL_BINDIR})
endif()
# The driver finds the stand-in host library beside itself.
set_target_properties(vududidi PROPERTIES INSTALL_RPATH "$ORIGIN")

set(CPACK_PACKAGE_NAME vududidi)
set(CPACK_PACKAGE_VENDOR "VUDUDIDI developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VXS-100 access-control driver for SCADA hosts, with test tools")
set(CPACK_PACKAGE_DESCRIPTION
    "VUDUDIDI is the communication driver through which a SCADA host talks to\n"
    "VXS-100 access-control controllers on one serial line. The package holds the\n"
    "driver library, a stand-in for the host library, the host tool kivhost that\n"
    "runs the driver as a host does, the line simulator vxs-sim, example tag\n"
    "files, the documents and the manual pages.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_PACKAGE_FILE_NAME vududidi-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(KIV_PACKAGE_MAINTAINER "VUDUDIDI developers <vududidi@example.org>"
      CACHE STRING "The Maintainer field of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KIV_PACKAGE_MAINTAINER})
  # The dependencies come from the programs' and libraries' own needs (dpkg-shlibdeps); the
  # driver and the stand-in are found in their private folder.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
  # Debian's license record: the copyright file in machine-readable form.
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian-copyright.in
                 ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)
  # Debian's record of the package's versions, compressed as Debian ships it.
  string(TIMESTAMP KIV_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian-changelog.in
                 ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
  execute_process(COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/debian/changelog
                  OUTPUT_FILE ${CMAKE_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${KIV_INSTALL_DOCDIR})
endif()
include(CPack)

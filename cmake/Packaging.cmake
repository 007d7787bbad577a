# Where things go on `cmake --install`, and the Debian package built from that.
# The plug-in and its language library sit side by side, as the plug-in looks for the latter
# beside its own file.
set(TESMOR_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/tesmor)

install(TARGETS tesmor tesmorENU LIBRARY DESTINATION ${TESMOR_PLUGIN_INSTALL_DIR})
if(TARGET tesmor-host)
  install(TARGETS tesmor-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES include/host_api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tesmor)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME tesmor)
set(CPACK_PACKAGE_VENDOR "tesmor developers")
set(CPACK_PACKAGE_CONTACT "tesmor developers <support@tesmor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus TCP/RTU slave plug-in for a chromatography data system")
set(CPACK_PACKAGE_DESCRIPTION
    "tesmor publishes the latest analysis results and instrument states of a chromatography data
system to plant automation as a Modbus TCP server and Modbus RTU slave. The package holds the
plug-in, its English resources, the stand-in host tesmor-host with a demo lab, the chromatogram
inspector tesmor-chrom and the user guide.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tesmor.example")
set(CPACK_STRIP_FILES ON)
include(CPack)
install(TARGETS tesmor-chrom RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

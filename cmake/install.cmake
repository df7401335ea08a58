# Install layout and the Debian package.
#
#   bin/krthost, bin/hvr38qt-sim        the reference host and the simulator
#   lib/libkrtframework.so*             the host framework
#   lib/krt/plugins/libhvr38qt.so       the device plug-in
#   include/krt/*.h                     the framework headers plug-ins build against
#   lib/cmake/krtframework/             find_package(krtframework): krt::krtframework
#   share/doc/hvr38qt/README.md
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(HVR_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/krt/plugins)
set(HVR_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/krt)
set(HVR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/krtframework)

# Installed programs find the framework relative to themselves, so that a
# tree installed under any prefix runs as it is.
file(RELATIVE_PATH hvr_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH hvr_plugin_to_lib /${HVR_PLUGIN_DIR} /${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH hvr_bin_to_plugin /${CMAKE_INSTALL_BINDIR} /${HVR_PLUGIN_DIR})

# Framework: library, headers and package configuration.
install(TARGETS krtframework EXPORT krtframeworkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${HVR_INSTALL_INCLUDEDIR})
file(GLOB hvr_framework_headers ${PROJECT_SOURCE_DIR}/host/*.h)
install(FILES ${hvr_framework_headers} DESTINATION ${HVR_INSTALL_INCLUDEDIR})
install(EXPORT krtframeworkTargets NAMESPACE krt:: DESTINATION ${HVR_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/krtframeworkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/krtframeworkConfig.cmake
  INSTALL_DESTINATION ${HVR_CMAKE_DIR}
  PATH_VARS HVR_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/krtframeworkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/krtframeworkConfig.cmake
              ${PROJECT_BINARY_DIR}/krtframeworkConfigVersion.cmake
        DESTINATION ${HVR_CMAKE_DIR})

# The plug-in.
set_target_properties(hvr38qt PROPERTIES INSTALL_RPATH "$ORIGIN/${hvr_plugin_to_lib}")
install(TARGETS hvr38qt LIBRARY DESTINATION ${HVR_PLUGIN_DIR})

# The tools; krthost looks for the plug-in in the installed plug-in
# directory too.
if(TARGET krthost)
  set_target_properties(krthost hvr38qt-sim PROPERTIES INSTALL_RPATH "$ORIGIN/${hvr_bin_to_lib}")
  target_compile_definitions(krthost_lib PRIVATE KRTHOST_PLUGIN_RELDIR="${hvr_bin_to_plugin}")
  install(TARGETS krthost hvr38qt-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hvr38qt)
# The example site beside the README; the service reads /etc/krthost/site.json.
install(FILES ${PROJECT_SOURCE_DIR}/config/site-example.json DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hvr38qt)

# The systemd unit of the site host, for the Debian package's /usr layout.
if(TARGET krthost)
  set(KRTHOST_BIN /usr/${CMAKE_INSTALL_BINDIR}/krthost)
  set(KRTHOST_DOC_DIR /usr/${CMAKE_INSTALL_DATADIR}/doc/hvr38qt)
  configure_file(${PROJECT_SOURCE_DIR}/config/systemd/krthost.service.in
                 ${PROJECT_BINARY_DIR}/krthost.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/krthost.service DESTINATION lib/systemd/system)
endif()

# Debian package: cpack -G DEB in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hvr38qt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Power-system controller plug-in with its host framework, reference host and simulator")
set(CPACK_PACKAGE_DESCRIPTION "The device plug-in for the -48 V power-system controller, the host \
framework library and headers that device plug-ins build against (with a CMake package \
configuration), the reference host krthost and the controller simulator hvr38qt-sim.")
set(CPACK_PACKAGE_CONTACT "hvr38qt maintainers <hvr38qt@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Run-time dependencies from the binaries themselves; building another
# plug-in against the headers needs the development packages as well.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake, g++, pkg-config, libjsoncpp-dev, libfmt-dev, libboost-dev")
include(CPack)

# Installation by the usual conventions (GNUInstallDirs):
#   bin/hwtables                                     the tool
#   <libdir>/libhwtables-{platform,store,agent}.so.0.9.0   the agent-side libraries (+ soname and
#                                                    development links)
#   <libdir>/hwtables/plugins/hwtables-bcm88490_a0.so  the chip's plug-in
#   include/hwtables/{platform,framework,store,agent}/  the public headers
#   <libdir>/cmake/hwtables/                         find_package(hwtables): hwtables::platform,
#                                                    hwtables::store, hwtables::agent
#   <libdir>/pkgconfig/hwtables.pc                   pkg-config
#   share/doc/hwtables/                              README and the design notes
# and a Debian package of all of it (CPack, `make package`).
include(CMakePackageConfigHelpers)

install(TARGETS hwtables_platform hwtables_store hwtables_agent EXPORT hwtablesTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hwtables)
install(TARGETS hwtables_plugin LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/${HWTABLES_PLUGIN_SUBDIR})
install(TARGETS hwtables RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(dir platform framework store agent)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hwtables/${dir}
    FILES_MATCHING PATTERN "*.h")
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}
  FILES_MATCHING PATTERN "*.md")

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/hwtables)
install(EXPORT hwtablesTargets NAMESPACE hwtables:: DESTINATION ${config_dir})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/hwtablesConfig.cmake.in
  ${CMAKE_BINARY_DIR}/hwtablesConfig.cmake INSTALL_DESTINATION ${config_dir}
  PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/hwtablesConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/hwtablesConfig.cmake ${CMAKE_BINARY_DIR}/hwtablesConfigVersion.cmake
  DESTINATION ${config_dir})

# The .pc file finds its prefix from where it lies, so any install prefix works.
set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH pc_to_prefix /${pkgconfig_dir} /)
configure_file(${CMAKE_SOURCE_DIR}/cmake/hwtables.pc.in ${CMAKE_BINARY_DIR}/hwtables.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/hwtables.pc DESTINATION ${pkgconfig_dir})

# The Debian package: `make package` (cpack in the build directory).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hwtables)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "hwtables developers <hwtables@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "typed, shadowed access to the MPLS tables of a simulated forwarding chip")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The build keeps its debug information; the package does not need it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# What the libraries, the plug-in and the tool load at run time; the headers also
# need libfmt-dev and nlohmann-json3-dev to be used.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libfmt9")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libfmt-dev, nlohmann-json3-dev")
include(CPack)

# Installation by the usual conventions (GNUInstallDirs; <libdir> is the multiarch
# directory, lib/x86_64-linux-gnu, where the system has one):
#   bin/hwtables                                        the tool
#   share/man/man1/hwtables.1.gz                        its manual page
#   share/bash-completion/completions/hwtables          its bash completion
#   <libdir>/libhwtables-{platform,store,agent}.so.0.9.0  the agent-side libraries (+ soname
#                                                       and development links)
#   <libdir>/hwtables/plugins/hwtables-bcm88490_a0.so   the chip's plug-in
#   include/hwtables/{platform,framework,store,agent}/  the public headers
#   <libdir>/cmake/hwtables/                            find_package(hwtables): hwtables::platform,
#                                                       hwtables::store, hwtables::agent
#   <libdir>/pkgconfig/hwtables.pc                      pkg-config
#   share/doc/hwtables/                                 README, design notes, copyright
# The build keeps its debug information; `cmake --install build --strip` (or
# `make install`) installs without it.
#
# Each file belongs to one component, and each component is one Debian package
# (`make package`, docs/packaging.md):
#   platform  libhwtables-platform0        libhwtables-platform.so.0
#   store     libhwtables-store0           libhwtables-store.so.0
#   agent     libhwtables-agent0           libhwtables-agent.so.0
#   plugin    hwtables-plugin-bcm88490-a0  the plug-in
#   dev       libhwtables-dev              headers, development links, CMake and pkg-config files
#   tool      hwtables                     the tool, its manual page, completion and docs
include(CMakePackageConfigHelpers)

set(HWTABLES_PACKAGE_CONTACT "hwtables maintainers <maintainers@hwtables.invalid>" CACHE STRING
  "Maintainer of the Debian packages: set it to a real address before publishing them")

install(TARGETS hwtables_platform EXPORT hwtablesTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT platform NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hwtables)
install(TARGETS hwtables_store EXPORT hwtablesTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT store NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hwtables)
install(TARGETS hwtables_agent EXPORT hwtablesTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT agent NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hwtables)
install(TARGETS hwtables_plugin
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/${HWTABLES_PLUGIN_SUBDIR} COMPONENT plugin)
install(TARGETS hwtables RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
foreach(dir platform framework store agent)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hwtables/${dir}
    COMPONENT dev FILES_MATCHING PATTERN "*.h")
endforeach()

# The manual page and the changelog are compressed as Debian wants them (gzip -9n:
# no name or time stamp, so the same text gives the same bytes).
set(packaging_dir ${CMAKE_SOURCE_DIR}/packaging)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${packaging_dir}/hwtables.1 ${packaging_dir}/changelog.in)
configure_file(${packaging_dir}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
foreach(file hwtables.1 changelog)
  if(file STREQUAL "changelog")
    set(text ${CMAKE_BINARY_DIR}/packaging/changelog)
  else()
    set(text ${packaging_dir}/${file})
  endif()
  execute_process(COMMAND gzip -9nc ${text} OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/${file}.gz
    RESULT_VARIABLE gzip_status)
  if(NOT gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${text}")
  endif()
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/packaging/hwtables.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
install(FILES ${packaging_dir}/hwtables.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME hwtables COMPONENT tool)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool
  FILES_MATCHING PATTERN "*.md")

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/hwtables)
install(EXPORT hwtablesTargets NAMESPACE hwtables:: DESTINATION ${config_dir} COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/hwtablesConfig.cmake.in
  ${CMAKE_BINARY_DIR}/hwtablesConfig.cmake INSTALL_DESTINATION ${config_dir}
  PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/hwtablesConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/hwtablesConfig.cmake ${CMAKE_BINARY_DIR}/hwtablesConfigVersion.cmake
  DESTINATION ${config_dir} COMPONENT dev)

# hwtables.pc finds its prefix from where it lies, so any install prefix works. It is
# written when installing: below /usr the loader finds the libraries by itself; below
# any other prefix the link flags also record the library directory in the program
# (-Wl,-rpath), so that a program built with them runs without LD_LIBRARY_PATH.
set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH pc_to_prefix /${pkgconfig_dir} /)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
set(HWTABLES_PC_RUNPATH "@HWTABLES_PC_RUNPATH@")  # filled in by the install script
configure_file(${CMAKE_SOURCE_DIR}/cmake/hwtables.pc.in ${CMAKE_BINARY_DIR}/packaging/hwtables.pc.in
  @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/InstallPkgConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/InstallPkgConfig.cmake @ONLY)
install(SCRIPT ${CMAKE_BINARY_DIR}/packaging/InstallPkgConfig.cmake COMPONENT dev)

# Debian wants a copyright file and the changelog in every package's documentation
# directory. A plain install has them once, in the tool's; the packages of the other
# components get their own (component installs only).
install(FILES ${packaging_dir}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool)

include(cmake/Package.cmake)

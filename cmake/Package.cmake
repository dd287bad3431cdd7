# The Debian packages, one per install component (Install.cmake), built by
# `make package` into build/<package>_<version>_<arch>.deb. What goes where and why,
# and what the Debian package checker says of them: docs/packaging.md.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hwtables)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${HWTABLES_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL platform store agent plugin dev tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The build keeps its debug information; the packages do not need it.
set(CPACK_STRIP_FILES ON)
# Dependencies on system libraries come from the binaries (dpkg-shlibdeps), those
# among the packages from the component dependencies below, with the exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The library packages declare what they provide (shlibs) and run ldconfig (trigger).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(about_hwtables
  "hwtables gives a switch's hardware agent typed, shadowed access to thirteen\n"
  "MPLS tables (four registers, nine memories) of the bcm88490_a0 forwarding chip.\n"
  "Memory shadows live in a shared-memory table store: a hash map in\n"
  "memory-mapped files with one writer and lock-free readers in other processes.")
string(CONCAT about_hwtables ${about_hwtables})

# hwtables_package(component name section synopsis description-line...): one package.
# The description's lines must not hold semicolons (CMake's list separator).
macro(hwtables_package component name section synopsis)
  string(TOUPPER ${component} upper)
  string(CONCAT description ${ARGN})
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  set(CPACK_COMPONENT_${upper}_DESCRIPTION "${synopsis}\n${about_hwtables}\n\n${description}")
  # Every package has its copyright and changelog, the tool's come with its docs.
  if(NOT component STREQUAL "tool")
    install(FILES ${packaging_dir}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endmacro()

hwtables_package(platform libhwtables-platform0 libs
  "hwtables platform library for shadowed access to chip tables"
  "This package holds the platform library: the agent's platform interfaces, the\n"
  "framework the tables are built on, and the registries plug-ins fill.")
hwtables_package(store libhwtables-store0 libs
  "hwtables shared-memory table store library"
  "This package holds the shared-memory table store: writer, readers, shadows,\n"
  "validation and the notification ring.")
hwtables_package(agent libhwtables-agent0 libs
  "hwtables agent library: one agent on one chip"
  "This package holds the agent library: bring-up of a chip's tables from cold or\n"
  "from the stores a predecessor left, download, audit, reconcile and teardown.")
hwtables_package(plugin hwtables-plugin-bcm88490-a0 libs
  "hwtables plug-in with the thirteen MPLS tables of the bcm88490_a0"
  "This package holds the plug-in with the chip's tables and their readers,\n"
  "which programs using the libraries load at run time from\n"
  "/usr/lib/<multiarch>/hwtables/plugins.")
hwtables_package(dev libhwtables-dev libdevel
  "hwtables development files: headers, CMake and pkg-config files"
  "This package holds the headers, the development links of the libraries and the\n"
  "CMake (find_package(hwtables)) and pkg-config (hwtables) files.")
hwtables_package(tool hwtables utils
  "command-line tool for the bcm88490_a0 MPLS tables and their stores"
  "This package holds the hwtables tool: the table catalogue, a bring-up demo on\n"
  "a simulated chip, an agent console, a chip process, and commands that show,\n"
  "follow, check, list and wipe shared-memory table stores, with its manual page\n"
  "and bash completion, and the Python package hwtables for test scripts.")

set(CPACK_COMPONENT_STORE_DEPENDS platform)
set(CPACK_COMPONENT_PLUGIN_DEPENDS platform store)
set(CPACK_COMPONENT_AGENT_DEPENDS platform)
set(CPACK_COMPONENT_DEV_DEPENDS platform store agent)
set(CPACK_COMPONENT_TOOL_DEPENDS platform store agent plugin)
# The Python package's extension is built for one version of the interpreter.
if(HWTABLES_PYTHON_DEPENDS)
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${HWTABLES_PYTHON_DEPENDS}")
endif()
# What the headers include besides their own.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libfmt-dev, nlohmann-json3-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "hwtables-plugin-bcm88490-a0")
set(CPACK_DEBIAN_PLATFORM_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_STORE_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_AGENT_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_MULTIARCH same)
# CPack runs ldconfig from postinst and postrm of the library packages; Debian wants
# the ldconfig trigger instead. The script swaps them once the packages are made.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/LdconfigTrigger.cmake)
include(CPack)

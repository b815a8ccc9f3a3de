# What `cmake --install` puts under the prefix, for vendors who run orvinta-pack from
# their own builds: the tool, its man page, the installer stub it packs by default and the
# CMake package OrvintaPack. Host trees only. Components: "tool" (all but the man page),
# "man" (the page as written) and "deb" (what only the Debian package holds: the page
# compressed, the copyright file and the changelog; left out of a plain installation).
if(NOT TARGET orvinta-pack)
  return()
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORVINTA_STUB_NAME orvinta-setup.exe)
set(ORVINTA_INSTALL_STUB_DIR "${CMAKE_INSTALL_DATADIR}/orvinta")
set(ORVINTA_INSTALL_CMAKE_DIR "lib/cmake/OrvintaPack")

# The tool looks for the stub at this path relative to its own folder; the build tree
# stages the stub at the same place relative to the tool there.
file(RELATIVE_PATH ORVINTA_STUB_FROM_TOOL "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_FULL_DATADIR}/orvinta/${ORVINTA_STUB_NAME}")
# Public, so that whatever builds on the tool's code (its tests, the fuzz target that
# compiles the same sources) sees the same path.
target_compile_definitions(pack_core PUBLIC ORVINTA_STUB_FROM_TOOL="${ORVINTA_STUB_FROM_TOOL}")
get_target_property(ORVINTA_TOOL_BUILD_DIR orvinta-pack BINARY_DIR)
get_filename_component(ORVINTA_STUB_STAGED "${ORVINTA_TOOL_BUILD_DIR}/${ORVINTA_STUB_FROM_TOOL}" ABSOLUTE)

include(OrvintaStub)

# The installed tool reads installers that others made (verify, extract), so optimized
# builds of it are hardened the way Debian builds its own packages.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT ORVINTA_SANITIZE)
  foreach(target IN ITEMS pack_core orvinta-pack)
    target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  endforeach()
  target_link_options(orvinta-pack PRIVATE -Wl,-z,relro,-z,now)
endif()

install(TARGETS orvinta-pack EXPORT OrvintaPackTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tool)
if(TARGET orvinta-stub)
  install(FILES "${ORVINTA_STUB_STAGED}" DESTINATION "${ORVINTA_INSTALL_STUB_DIR}" COMPONENT tool)
endif()

install(FILES "${PROJECT_SOURCE_DIR}/tools/orvinta-pack.1"
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT man)

install(EXPORT OrvintaPackTargets NAMESPACE OrvintaPack::
  DESTINATION "${ORVINTA_INSTALL_CMAKE_DIR}" COMPONENT tool)
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/package/OrvintaPackConfig.cmake.in"
  "${CMAKE_BINARY_DIR}/package/OrvintaPackConfig.cmake"
  INSTALL_DESTINATION "${ORVINTA_INSTALL_CMAKE_DIR}"
  PATH_VARS ORVINTA_INSTALL_STUB_DIR)
# The function runs the tool; it does not link against anything, so a vendor's project
# of any architecture (or of no language at all) may use it.
write_basic_package_version_file("${CMAKE_BINARY_DIR}/package/OrvintaPackConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES
  "${CMAKE_BINARY_DIR}/package/OrvintaPackConfig.cmake"
  "${CMAKE_BINARY_DIR}/package/OrvintaPackConfigVersion.cmake"
  "${PROJECT_SOURCE_DIR}/cmake/package/OrvintaAddInstaller.cmake"
  "${PROJECT_SOURCE_DIR}/cmake/package/OrvintaPackRun.cmake"
  DESTINATION "${ORVINTA_INSTALL_CMAKE_DIR}" COMPONENT tool)

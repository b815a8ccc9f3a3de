# The Debian package of orvinta-pack: `cmake --build <host tree> --target package` (CPack,
# DEB generator) writes orvinta-pack_<version>_amd64.deb into the tree. It holds what
# `cmake --install` installs, under /usr, except that the man page is compressed, plus the
# copyright file and the compressed changelog from packaging/. The dependencies on shared
# libraries come from dpkg-shlibdeps.
if(NOT TARGET orvinta-pack)
  return()
endif()
if(NOT TARGET orvinta-stub)
  message(STATUS "Debian package: left out, since it would lack the installer stub")
  return()
endif()

set(ORVINTA_DEB_NAME orvinta-pack)
set(ORVINTA_DEB_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/${ORVINTA_DEB_NAME}")
set(deb_files "${CMAKE_BINARY_DIR}/deb")

# Debian ships manuals and changelogs compressed, without names or times in the gzip
# header, so that the package's bytes do not depend on when it was built.
find_program(ORVINTA_GZIP gzip REQUIRED)
set(deb_compressed "")
foreach(source IN ITEMS "tools/orvinta-pack.1" "packaging/changelog")
  get_filename_component(name "${source}" NAME)
  add_custom_command(OUTPUT "${deb_files}/${name}.gz"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${deb_files}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/${source}" "${deb_files}/${name}"
    COMMAND "${ORVINTA_GZIP}" -9 -n -f "${deb_files}/${name}"
    DEPENDS "${PROJECT_SOURCE_DIR}/${source}"
    VERBATIM)
  list(APPEND deb_compressed "${deb_files}/${name}.gz")
endforeach()
add_custom_target(orvinta-deb-files ALL DEPENDS ${deb_compressed})

# The changelog's latest entry names the version being packaged, and its signer is the
# package's maintainer.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/packaging/changelog")
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" changelog_top LIMIT_COUNT 1)
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" changelog_signers REGEX "^ -- ")
list(GET changelog_signers 0 changelog_signer)
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" ORVINTA_DEB_MAINTAINER "${changelog_signer}")
string(REGEX REPLACE "^[^ ]+ \\(([^)]+)\\).*$" "\\1" changelog_version "${changelog_top}")
install(CODE "
  if(NOT \"${changelog_version}\" STREQUAL \"${PROJECT_VERSION}\")
    message(FATAL_ERROR \"packaging/changelog: its latest entry is ${changelog_version}, the project is ${PROJECT_VERSION}: add the entry of this release\")
  endif()" COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES "${deb_files}/orvinta-pack.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
  COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES "${deb_files}/changelog.gz" "${PROJECT_SOURCE_DIR}/packaging/copyright"
  DESTINATION "${ORVINTA_DEB_DOC_DIR}" COMPONENT deb EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${ORVINTA_DEB_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};tool;/"
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};deb;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "builds, signs and checks Orvinta installers")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "orvinta-pack appends a payload of files, compressed and scrambled, to the
Orvinta installer stub for Windows, signs the result with osslsigncode
(Authenticode), and lists, verifies and extracts finished installers. The
package holds the stub itself, so packing needs no cross compiler, and a CMake
package whose function orvinta_add_installer makes installers in a vendor's
own build.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORVINTA_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS osslsigncode)
include(CPack)

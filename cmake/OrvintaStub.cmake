# The installer stub that the host tree installs beside the tool: the 32-bit product,
# built by the host tree itself as an external project of the same sources configured
# with the MinGW-w64 i686 toolchain (the stub alone, no tests), then staged where the tool
# in the build tree looks for it (ORVINTA_STUB_STAGED). Without the cross compiler the
# host tree builds and installs the rest; `orvinta-pack build` then needs --stub.
option(ORVINTA_BUNDLE_STUB "Build the installer stub (MinGW-w64) to install and package it with the tool" ON)
if(NOT ORVINTA_BUNDLE_STUB)
  message(STATUS "installer stub: not built in this tree (ORVINTA_BUNDLE_STUB=OFF)")
  return()
endif()
find_program(ORVINTA_MINGW_I686_CXX i686-w64-mingw32-g++-posix)
if(NOT ORVINTA_MINGW_I686_CXX)
  message(STATUS "installer stub: not built, no MinGW-w64 i686 compiler (Debian package "
                 "g++-mingw-w64-i686-posix); installing and packaging go on without it, and "
                 "orvinta-pack build then needs --stub")
  return()
endif()
message(STATUS "installer stub: built with ${ORVINTA_MINGW_I686_CXX}, staged as ${ORVINTA_STUB_STAGED}")

include(ExternalProject)
set(stub_tree "${CMAKE_BINARY_DIR}/stub-win32")
set(stub_built "${stub_tree}/installer/${ORVINTA_STUB_NAME}")
# Under make the sub-build joins this build's job server.
if(CMAKE_GENERATOR MATCHES "Make")
  set(stub_build_command "$(MAKE)" orvinta-setup)
else()
  set(stub_build_command "${CMAKE_COMMAND}" --build "${stub_tree}" --target orvinta-setup)
endif()
get_filename_component(stub_staged_dir "${ORVINTA_STUB_STAGED}" DIRECTORY)
ExternalProject_Add(orvinta-stub
  SOURCE_DIR "${PROJECT_SOURCE_DIR}"
  BINARY_DIR "${stub_tree}"
  PREFIX "${CMAKE_BINARY_DIR}/stub-win32-steps"
  CMAKE_ARGS
    "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw-i686.cmake"
    -DCMAKE_BUILD_TYPE=Release
    -DORVINTA_TESTS=OFF
  BUILD_COMMAND ${stub_build_command}
  BUILD_ALWAYS TRUE
  BUILD_BYPRODUCTS "${stub_built}" "${ORVINTA_STUB_STAGED}"
  INSTALL_COMMAND "${CMAKE_COMMAND}" -E make_directory "${stub_staged_dir}"
          COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${stub_built}" "${ORVINTA_STUB_STAGED}"
  LOG_CONFIGURE TRUE
  LOG_BUILD TRUE
  LOG_OUTPUT_ON_FAILURE TRUE)

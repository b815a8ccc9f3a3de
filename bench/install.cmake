# Install benchmark under Wine against an NSIS installer of the same files, and where the
# installer's time goes (bench/install-bench.sh). Windows trees only: it needs the
# installer stub and the host tree's packing tool (ORVINTA_HOST_BUILD).
if(TARGET orvinta-setup AND ORVINTA_HOST_BUILD)
  # The cost of a process under Wine, for the breakdown.
  add_executable(empty-program WIN32 "${CMAKE_CURRENT_LIST_DIR}/empty_program.cpp")
  target_link_options(empty-program PRIVATE -static)
  add_custom_target(bench-install
    COMMAND "${CMAKE_CURRENT_LIST_DIR}/install-bench.sh" "$<TARGET_FILE:orvinta-setup>"
            "${ORVINTA_HOST_BUILD}/tools/orvinta-pack" "$<TARGET_FILE:empty-program>"
    DEPENDS orvinta-setup empty-program
    USES_TERMINAL
    VERBATIM)
endif()

# Install benchmark under Wine against an NSIS installer of the same files
# (bench/install-bench.sh). Windows trees only: it needs the installer stub and the
# host tree's packing tool (ORVINTA_HOST_BUILD).
if(TARGET orvinta-setup AND ORVINTA_HOST_BUILD)
  add_custom_target(bench-install
    COMMAND "${CMAKE_CURRENT_LIST_DIR}/install-bench.sh" "$<TARGET_FILE:orvinta-setup>"
            "${ORVINTA_HOST_BUILD}/tools/orvinta-pack"
    DEPENDS orvinta-setup
    USES_TERMINAL
    VERBATIM)
endif()

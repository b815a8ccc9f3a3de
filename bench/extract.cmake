# Extraction throughput of orvinta-pack against Info-ZIP unzip, and its peak memory
# (bench/extract-bench.sh; needs zip, unzip and Debian's wine32 DLLs).
if(TARGET orvinta-pack)
  add_custom_target(bench-extract
    COMMAND "${CMAKE_CURRENT_LIST_DIR}/extract-bench.sh" "$<TARGET_FILE:orvinta-pack>"
    DEPENDS orvinta-pack
    USES_TERMINAL
    VERBATIM)
endif()

# Extraction throughput of orvinta-pack against Info-ZIP unzip, where the extraction's
# time goes (extract_breakdown), and its peak memory (bench/extract-bench.sh; needs zip,
# unzip and Debian's wine32 DLLs).
if(TARGET orvinta-pack)
  add_executable(extract_breakdown "${CMAKE_CURRENT_LIST_DIR}/extract_breakdown.cpp")
  target_link_libraries(extract_breakdown PRIVATE archive decode)
  add_custom_target(bench-extract
    COMMAND "${CMAKE_CURRENT_LIST_DIR}/extract-bench.sh" "$<TARGET_FILE:orvinta-pack>"
            "$<TARGET_FILE:extract_breakdown>"
    DEPENDS orvinta-pack extract_breakdown
    USES_TERMINAL
    VERBATIM)
endif()

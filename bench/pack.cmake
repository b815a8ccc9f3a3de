# Packing time of orvinta-pack at level 12 with one job and with every processor, against
# makensis (zlib) on the same files (bench/pack-bench.sh; needs nsis and the wine32 DLLs).
if(TARGET orvinta-pack)
  set(ORVINTA_BENCH_PACK_STUB "")
  set(ORVINTA_BENCH_PACK_DEPENDS orvinta-pack)
  if(TARGET orvinta-stub)
    set(ORVINTA_BENCH_PACK_STUB "${ORVINTA_STUB_STAGED}")
    list(APPEND ORVINTA_BENCH_PACK_DEPENDS orvinta-stub)
  endif()
  add_custom_target(bench-pack
    COMMAND "${CMAKE_CURRENT_LIST_DIR}/pack-bench.sh" "$<TARGET_FILE:orvinta-pack>" ${ORVINTA_BENCH_PACK_STUB}
    DEPENDS ${ORVINTA_BENCH_PACK_DEPENDS}
    USES_TERMINAL
    VERBATIM)
endif()

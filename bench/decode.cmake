# Decoder throughput against zlib, libdeflate and, where Debian's libisal-dev is there,
# ISA-L (bench/decode-bench.sh builds and runs it for x86-64 and for i686).
# Corpus: bench/make-corpus.sh.
#
# ORVINTA_BENCH_PEER_ROOT: a folder holding usr/include and usr/lib/<triple> of the peers'
# development packages for another architecture (the i686 tree: the i386 packages
# unpacked there, since they cannot be installed beside the amd64 ones on every mirror).
set(ORVINTA_BENCH_PEER_ROOT "" CACHE PATH "unpacked peer libraries for a foreign architecture")
if(ORVINTA_BENCH_PEER_ROOT)
  set(bench_peer_hints NO_DEFAULT_PATH PATHS "${ORVINTA_BENCH_PEER_ROOT}/usr/lib/i386-linux-gnu")
  find_library(BENCH_ZLIB NAMES libz.a ${bench_peer_hints} REQUIRED)
  find_library(BENCH_LIBDEFLATE NAMES libdeflate.a ${bench_peer_hints} REQUIRED)
  set(bench_peer_include "${ORVINTA_BENCH_PEER_ROOT}/usr/include")
else()
  find_library(BENCH_ZLIB NAMES z REQUIRED)
  find_library(BENCH_LIBDEFLATE NAMES deflate REQUIRED)
  find_library(BENCH_ISAL NAMES isal)
  find_path(BENCH_ISAL_INCLUDE isa-l/igzip_lib.h)
  set(bench_peer_include "")
endif()

add_executable(decode_bench "${CMAKE_CURRENT_LIST_DIR}/decode_bench.cpp")
target_link_libraries(decode_bench PRIVATE decode "${BENCH_LIBDEFLATE}" "${BENCH_ZLIB}")
target_include_directories(decode_bench BEFORE PRIVATE ${bench_peer_include})
target_include_directories(decode_bench PRIVATE "${PROJECT_SOURCE_DIR}")
if(BENCH_ISAL AND BENCH_ISAL_INCLUDE)
  target_link_libraries(decode_bench PRIVATE "${BENCH_ISAL}")
  target_include_directories(decode_bench PRIVATE "${BENCH_ISAL_INCLUDE}")
  target_compile_definitions(decode_bench PRIVATE ORVINTA_BENCH_HAVE_ISAL=1)
endif()

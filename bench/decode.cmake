# Decoder throughput against zlib and libdeflate (Debian zlib1g-dev, libdeflate-dev).
# Corpus: bench/make-corpus.sh.
add_executable(decode_bench "${CMAKE_CURRENT_LIST_DIR}/decode_bench.cpp")
target_link_libraries(decode_bench PRIVATE decode z deflate)
target_include_directories(decode_bench PRIVATE "${PROJECT_SOURCE_DIR}")

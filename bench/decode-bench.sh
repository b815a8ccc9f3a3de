#!/usr/bin/env bash
# Decoder benchmark for both architectures the decoder ships on: decode_bench built for
# x86-64 (peers zlib, libdeflate and ISA-L) and for i686 with g++ -m32 (peers zlib and
# libdeflate of Debian's i386 packages), run one after the other on the same corpus.
#   bench/decode-bench.sh [repeats]     (default 7; the best run of each decoder counts)
# Installs what it needs (g++-multilib, libisal-dev) through scripts/install-deps.sh; the
# i386 zlib and libdeflate development packages are unpacked into build/bench/i386-peers
# rather than installed, because the mirror does not always have matching amd64 and i386
# versions of what they depend on. Safe to run again: it only adds what is missing.
# environment: BENCH_CORPUS (default build/bench/decode-corpus.bin, made by make-corpus.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
repeats=${1:-7}
corpus=${BENCH_CORPUS:-$root/build/bench/decode-corpus.bin}
peers=$root/build/bench/i386-peers
jobs=${ORVINTA_JOBS:-2}

ORVINTA_EXTRA_PACKAGES="g++-multilib libisal-dev" "$root/scripts/install-deps.sh" \
  || echo "decode-bench: installing g++-multilib and libisal-dev failed; going on with what is there" >&2

if [ ! -f "$peers/usr/lib/i386-linux-gnu/libz.a" ] || [ ! -f "$peers/usr/lib/i386-linux-gnu/libdeflate.a" ]; then
  mkdir -p "$peers/debs"
  # apt-get download writes into the current folder.
  (cd "$peers/debs" && apt-get download zlib1g-dev:i386 libdeflate-dev:i386) \
    || echo "decode-bench: could not download the i386 zlib and libdeflate packages" >&2
  for deb in "$peers"/debs/*.deb; do
    [ -f "$deb" ] && dpkg-deb -x "$deb" "$peers"
  done
fi

[ -f "$corpus" ] || "$root/bench/make-corpus.sh" "$corpus"

# build_bench TREE [cmake args...]: configures and builds decode_bench; 0 on success.
build_bench() {
  local tree=$1; shift
  cmake -S "$root" -B "$tree" -DCMAKE_BUILD_TYPE=Release -DORVINTA_TESTS=OFF -DORVINTA_BENCH=ON "$@" \
    >"$tree.configure.log" 2>&1 || { echo "decode-bench: configure failed, see $tree.configure.log" >&2; return 1; }
  cmake --build "$tree" --target decode_bench -j "$jobs" >"$tree.build.log" 2>&1 \
    || { echo "decode-bench: build failed, see $tree.build.log" >&2; return 1; }
}

mkdir -p "$root/build/bench"
status=0
echo "== x86-64"
if build_bench "$root/build/bench/x86-64"; then
  "$root/build/bench/x86-64/bench/decode_bench" "$corpus" "$repeats" || status=1
else
  status=1
fi
echo "== i686 (g++ -m32)"
probe=$root/build/bench/m32-probe
if echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o "$probe" 2>/dev/null && [ -f "$peers/usr/lib/i386-linux-gnu/libz.a" ]; then
  if build_bench "$root/build/bench/i686" -DCMAKE_TOOLCHAIN_FILE="$root/bench/toolchain-linux-i686.cmake" \
    -DORVINTA_BENCH_PEER_ROOT="$peers"; then
    "$root/build/bench/i686/bench/decode_bench" "$corpus" "$repeats" || status=1
  else
    status=1
  fi
else
  echo "decode-bench: no i686 build here (g++ -m32 or the i386 zlib/libdeflate packages are missing)"
  status=1
fi
rm -f "$probe"
exit "$status"

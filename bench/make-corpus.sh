#!/usr/bin/env bash
# Builds the decoder benchmark's corpus from files every build machine has: the 32-bit
# Windows DLLs of Debian's wine32 package (installer-like payload) and the C++ standard
# headers, concatenated into one file of about 45 MB (32 MiB of DLLs, 13 MB of headers).
#   bench/make-corpus.sh [output file]   (default: build/bench/decode-corpus.bin)
# decode_bench compresses it itself (zlib level 6 and libdeflate level 12, raw Deflate)
# and keeps the two streams beside it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/bench/decode-corpus.bin}
dll_dir=/usr/lib/i386-linux-gnu/wine/i386-windows
header_dir=/usr/include/c++/12
dll_budget=$((32 * 1024 * 1024))

[ -d "$dll_dir" ] || { echo "missing $dll_dir (apt-get install wine32)" >&2; exit 1; }
[ -d "$header_dir" ] || { echo "missing $header_dir (apt-get install libstdc++-12-dev)" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
tmp="$out.tmp"
: >"$tmp"
total=0
# Sorted by name so that every machine with the same packages builds the same corpus.
while IFS= read -r dll; do
  size=$(stat -c %s "$dll")
  [ $((total + size)) -le "$dll_budget" ] || continue
  cat "$dll" >>"$tmp"
  total=$((total + size))
done < <(find "$dll_dir" -maxdepth 1 -name '*.dll' -type f | LC_ALL=C sort)
find "$header_dir" -type f | LC_ALL=C sort | xargs cat >>"$tmp"
mv "$tmp" "$out"
rm -f "$out.zlib6" "$out.libdeflate12"
echo "$out: $(stat -c %s "$out") bytes"

#!/usr/bin/env bash
# Install benchmark: the installer carrying about 45 MB of installer-like files (the first
# 57 of Wine's 32-bit Windows DLLs, by name) against an NSIS installer of the same files
# (SetCompressor zlib, silent /S), both installing flat into <Program Files>\Orvinta of
# the same booted Wine prefix, alternately, best of three each. Every installed file is
# compared with the payload after each run.
#
# usage: bench/install-bench.sh PATH/TO/orvinta-setup.exe PATH/TO/orvinta-pack
# The installer's architecture (32 or 64) decides the Wine prefix and the NSIS target.
# needs: wine, nsis (makensis), the wine32 DLLs (or BENCH_DLLS).
# environment: BENCH_FILES (default 57), BENCH_RUNS (default 3), BENCH_DLLS (source
# folder), BENCH_DIR (work folder and prefix, default /dev/shm/orvinta-install-bench-NN).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stub=$(realpath "${1:?usage: install-bench.sh PATH/TO/orvinta-setup.exe PATH/TO/orvinta-pack}")
pack=$(realpath "${2:?usage: install-bench.sh PATH/TO/orvinta-setup.exe PATH/TO/orvinta-pack}")
count=${BENCH_FILES:-57}
runs=${BENCH_RUNS:-3}
dlls=${BENCH_DLLS:-/usr/lib/i386-linux-gnu/wine/i386-windows}
[ -d "$dlls" ] || dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

# shellcheck source=../scripts/wine-env.sh
source "$root/scripts/wine-env.sh"
arch=$(orvinta_pe_arch "$stub") || { echo "install-bench: $stub is not a Windows executable" >&2; exit 1; }
command -v makensis >/dev/null || ORVINTA_EXTRA_PACKAGES=nsis "$root/scripts/install-deps.sh" \
  || { echo "install-bench: makensis is missing and could not be installed (Debian package nsis)" >&2; exit 1; }
[ -d "$dlls" ] || { echo "install-bench: no DLL folder $dlls (Debian package wine32)" >&2; exit 1; }

work=${BENCH_DIR:-/dev/shm/orvinta-install-bench-$arch}
rm -rf "$work/payload" "$work"/*.exe "$work"/*.nsi
mkdir -p "$work/payload"
mapfile -t sources < <(find "$dlls" -maxdepth 1 -type f -name '*.dll' | LC_ALL=C sort | head -n "$count")
cp "${sources[@]}" "$work/payload/"
bytes=$(du -cb "$work"/payload/* | tail -n 1 | cut -f1)
echo "payload: ${#sources[@]} files, $bytes bytes, from $dlls"

# Our installer, at the packing tool's default level.
stub_option=()
[ "$arch" = 64 ] && stub_option=(--x86-64-test-stub)  # the x86-64 test build of the stub
"$pack" build "${stub_option[@]}" --stub "$stub" --out "$work/orvinta.exe" "$work/payload" >/dev/null 2>&1 \
  || { echo "install-bench: packing failed" >&2; exit 1; }
# The NSIS installer of the same files.
if [ "$arch" = 64 ]; then target=amd64-unicode; folder='$PROGRAMFILES64'; else target=x86-unicode; folder='$PROGRAMFILES'; fi
cat >"$work/bench.nsi" <<NSI
Target $target
SetCompressor zlib
Name "Orvinta"
OutFile "$work/nsis.exe"
InstallDir "$folder\\Orvinta"
RequestExecutionLevel admin
SilentInstall silent
Section
  SetOutPath "\$INSTDIR"
  File "$work/payload/*.dll"
SectionEnd
NSI
makensis -V1 "$work/bench.nsi" >/dev/null
echo "installers: orvinta $(stat -c %s "$work/orvinta.exe") bytes ($arch-bit), NSIS $(stat -c %s "$work/nsis.exe") bytes ($target, zlib)"

orvinta_wine_select "$arch"
export WINEPREFIX="$work/wine"
trap orvinta_wine_stop EXIT
orvinta_wine_boot || { echo "install-bench: the Wine prefix could not be started" >&2; exit 1; }
destination="$WINEPREFIX/drive_c/Program Files/Orvinta"

# run_one NAME ARGS...: empties the destination, times one installation in ms, checks it.
run_one() {
  local exe=$1; shift
  rm -rf "$destination"
  local start end
  start=$(date +%s%N)
  "$ORVINTA_WINE" "$work/$exe" "$@" </dev/null >/dev/null 2>&1 || true
  end=$(date +%s%N)
  local f bad=0
  for f in "$work"/payload/*; do
    cmp -s "$f" "$destination/$(basename "$f")" || bad=$((bad + 1))
  done
  local installed
  installed=$(find "$destination" -type f 2>/dev/null | wc -l)
  if [ "$bad" -ne 0 ] || [ "$installed" -ne "${#sources[@]}" ]; then
    echo "install-bench: $exe installed $installed files, $bad differ from the payload" >&2
    exit 1
  fi
  echo $(( (end - start) / 1000000 ))
}

best_ours=""
best_nsis=""
for i in $(seq "$runs"); do
  t=$(run_one orvinta.exe)
  u=$(run_one nsis.exe /S)
  echo "run $i: orvinta ${t} ms, NSIS ${u} ms"
  if [ -z "$best_ours" ] || [ "$t" -lt "$best_ours" ]; then best_ours=$t; fi
  if [ -z "$best_nsis" ] || [ "$u" -lt "$best_nsis" ]; then best_nsis=$u; fi
done
echo "best of $runs: orvinta ${best_ours} ms, NSIS ${best_nsis} ms, ratio $(python3 -c "print('%.2f' % ($best_ours / $best_nsis))") (all files identical after every run)"

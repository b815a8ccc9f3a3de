#!/usr/bin/env bash
# Install benchmark: the installer carrying about 45 MB of installer-like files (the first
# 57 of Wine's 32-bit Windows DLLs, by name) against an NSIS installer of the same files
# (SetCompressor zlib, silent /S), both installing flat into <Program Files>\Orvinta of
# the same booted Wine prefix, alternately, best of five each. Every installed file is
# compared with the payload after each run. Then where the installer's time goes, from
# runs that each add one part: an empty program (process start and end under Wine), the
# installer with one small file (its DLLs, the folder query, deletion and creation, one
# file, the launch attempt), with the payload stored (reading, unscrambling and writing
# it), with the payload compressed (decoding and CRC-32), and over an earlier
# installation (the shell's deletion of it). Where perf is installed, a profile of one
# installation splits the installer's CPU time further, the stub's own code by the link
# map beside it (the decoder, the CRC-32, the extraction loop), the rest by module.
#
# usage: bench/install-bench.sh PATH/TO/orvinta-setup.exe PATH/TO/orvinta-pack [EMPTY.exe]
# EMPTY.exe: a program that does nothing (bench/empty_program.cpp); without it the
# breakdown starts at the installer.
# The installer's architecture (32 or 64) decides the Wine prefix and the NSIS target.
# needs: wine, nsis (makensis), GNU time (/usr/bin/time), the wine32 DLLs (or BENCH_DLLS).
# environment: BENCH_FILES (default 57), BENCH_RUNS (default 5), BENCH_DLLS (source
# folder), BENCH_DIR (work folder and prefix, default /dev/shm/orvinta-install-bench-NN).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
stub=$(realpath "${1:?usage: install-bench.sh PATH/TO/orvinta-setup.exe PATH/TO/orvinta-pack}")
pack=$(realpath "${2:?usage: install-bench.sh PATH/TO/orvinta-setup.exe PATH/TO/orvinta-pack}")
empty=${3:+$(realpath "$3")}
count=${BENCH_FILES:-57}
runs=${BENCH_RUNS:-5}
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
# For the breakdown: the same files stored, and the smallest of them alone.
"$pack" build "${stub_option[@]}" --stub "$stub" --out "$work/stored.exe" --level 0 "$work/payload" >/dev/null 2>&1 \
  || { echo "install-bench: packing failed" >&2; exit 1; }
rm -rf "$work/one" && mkdir -p "$work/one"
cp "$(find "$work/payload" -type f -printf '%s %p\n' | sort -n | head -n 1 | cut -d' ' -f2-)" "$work/one/"
"$pack" build "${stub_option[@]}" --stub "$stub" --out "$work/one.exe" "$work/one" >/dev/null 2>&1 \
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

# run_one NAME ARGS...: empties the destination, times one installation, checks it;
# prints "wall_ms cpu_ms" (CPU: user and system time of the installer's process, which
# a loaded machine inflates far less than the wall clock).
run_one() {
  local exe=$1; shift
  rm -rf "$destination"
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f "%U %S" -o "$work/cpu.txt" "$ORVINTA_WINE" "$work/$exe" "$@" </dev/null >/dev/null 2>&1 || true
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
  echo "$(( (end - start) / 1000000 )) $(python3 -c "import sys; u, s = open(sys.argv[1]).read().split()[-2:]; print(round((float(u) + float(s)) * 1000))" "$work/cpu.txt")"
}

best_ours=""
best_nsis=""
cpu_ours=""
cpu_nsis=""
for i in $(seq "$runs"); do
  read -r t tc < <(run_one orvinta.exe)
  read -r u uc < <(run_one nsis.exe /S)
  echo "run $i: orvinta ${t} ms (cpu ${tc} ms), NSIS ${u} ms (cpu ${uc} ms)"
  if [ -z "$best_ours" ] || [ "$t" -lt "$best_ours" ]; then best_ours=$t; fi
  if [ -z "$best_nsis" ] || [ "$u" -lt "$best_nsis" ]; then best_nsis=$u; fi
  if [ -z "$cpu_ours" ] || [ "$tc" -lt "$cpu_ours" ]; then cpu_ours=$tc; fi
  if [ -z "$cpu_nsis" ] || [ "$uc" -lt "$cpu_nsis" ]; then cpu_nsis=$uc; fi
done
echo "best of $runs, wall clock: orvinta ${best_ours} ms, NSIS ${best_nsis} ms: orvinta $(python3 -c "print('%.2f' % ($best_nsis / $best_ours))") times as fast (all files identical after every run)"
echo "best of $runs, CPU time:   orvinta ${cpu_ours} ms, NSIS ${cpu_nsis} ms: $(python3 -c "print('%.2f' % ($cpu_nsis / $cpu_ours))")x"

# best_of EXE [keep]: the best time in ms of $runs runs; with keep, each run installs over
# the previous installation instead of into an empty Program Files.
best_of() {
  local exe=$1 keep=${2:-} best="" i start end ms
  for i in $(seq "$runs"); do
    if [ -z "$keep" ]; then rm -rf "$destination"; fi
    start=$(date +%s%N)
    "$ORVINTA_WINE" "$exe" </dev/null >/dev/null 2>&1 || true
    end=$(date +%s%N)
    ms=$(( (end - start) / 1000000 ))
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}
empty_ms=0
[ -n "$empty" ] && empty_ms=$(best_of "$empty")
one_ms=$(best_of "$work/one.exe")
stored_ms=$(best_of "$work/stored.exe")
full_ms=$(best_of "$work/orvinta.exe")
over_ms=$(best_of "$work/orvinta.exe" keep)
echo "where the installer's time goes (best of $runs each, load $(cut -d' ' -f1-3 /proc/loadavg)):"
python3 - "$empty_ms" "$one_ms" "$stored_ms" "$full_ms" "$over_ms" "$bytes" "$([ -n "$empty" ] && echo 1 || echo 0)" <<'PY'
import sys
empty, one, stored, full, over, size, have_empty = (int(x) for x in sys.argv[1:])
rows = []
if have_empty:
    rows.append(("process start and end under Wine (an empty program)", empty))
rows += [
    ("installer with one small file: DLLs, folder query, deletion, creation, launch attempt",
     one - empty),
    ("reading, unscrambling and writing %.1f MB (the payload stored)" % (size / 1e6), stored - one),
    ("decoding and CRC-32 (the payload compressed, against stored)", full - stored),
]
for what, ms in rows:
    print("  %-88s %5d ms  %5.1f %%" % (what, ms, 100.0 * ms / full))
print("  %-88s %5d ms" % ("the whole installation", full))
print("  %-88s %5d ms" % ("deleting an earlier installation first (installing over one, against none)", over - full))
PY

map="${stub%.exe}.map"
if command -v perf >/dev/null && [ -f "$map" ]; then
  rm -rf "$destination"
  if perf record -q -F 4000 -o "$work/perf.data" "$ORVINTA_WINE" "$work/orvinta.exe" </dev/null >/dev/null 2>&1; then
    echo "where one installation's CPU time goes (perf samples):"
    python3 "$root/bench/install_profile.py" "$work/perf.data" "$map"
  else
    echo "(no profile: perf record failed; perf_event_paranoid is $(cat /proc/sys/kernel/perf_event_paranoid 2>/dev/null))"
  fi
else
  echo "(no profile: needs perf, Debian package linux-perf, and the stub's link map $map)"
fi

#!/usr/bin/env bash
# Packing benchmark: orvinta-pack build at level 12 with one job and with one job per
# processor, against makensis (NSIS, zlib) on the same files, alternately in one run, best
# of BENCH_RUNS each. Reports wall and CPU time, the speed-up of the parallel run over
# the single job, the ratio to makensis, and the peak memory of orvinta-pack (GNU time's
# maximum resident set). The installers of both job counts must be byte-identical.
#
# usage: bench/pack-bench.sh PATH/TO/orvinta-pack [STUB]   (default: the stub installed with the tool)
# needs: makensis (Debian package nsis), python3, GNU time (/usr/bin/time).
# environment: BENCH_MB (payload size, default 380), BENCH_RUNS (default 3), BENCH_JOBS
# (the parallel job count, default nproc), BENCH_LEVEL (default 12), BENCH_DLLS (source
# folder of the files), BENCH_DIR (default /dev/shm/orvinta-pack-bench).
# The speed-up needs the processors to itself: run it on a quiet machine.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

pack=$(realpath "${1:?usage: pack-bench.sh PATH/TO/orvinta-pack [STUB]}")
stub=${2:+$(realpath "$2")}
mb=${BENCH_MB:-380}
runs=${BENCH_RUNS:-3}
jobs=${BENCH_JOBS:-$(nproc)}
level=${BENCH_LEVEL:-12}
dlls=${BENCH_DLLS:-/usr/lib/i386-linux-gnu/wine/i386-windows}
[ -d "$dlls" ] || dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
work=${BENCH_DIR:-/dev/shm/orvinta-pack-bench}

for tool in makensis python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "pack-bench: $tool is missing" >&2; exit 1; }
done
[ -d "$dlls" ] || { echo "pack-bench: no DLL folder $dlls (Debian package wine32)" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
cd "$work"
# shellcheck source=payload.sh
source "$here/payload.sh"
# The stub given, else the one installed beside the tool (the host tree stages it there).
stub_option=()
if [ -n "$stub" ]; then
  stub_option=(--stub "$stub")
  [ "$(bench_pe_machine "$stub")" = 6486 ] && stub_option+=(--x86-64-test-stub)
fi

bench_fill_payload payload "$mb" >/dev/null
cp "$(find payload -type f | LC_ALL=C sort | head -n 1)" payload/orvinta.exe
bytes=$(find payload -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
count=$(find payload -type f | wc -l)
echo "payload: $count files, $bytes bytes, from $dlls"
echo "machine: $(nproc) processors; load before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"

cat >bench.nsi <<NSI
Target x86-unicode
SetCompressor zlib
Name "Orvinta"
OutFile "$work/nsis.exe"
InstallDir "\$PROGRAMFILES\\Orvinta"
RequestExecutionLevel admin
SilentInstall silent
Section
  SetOutPath "\$INSTDIR"
  File "$work/payload/*"
SectionEnd
NSI

# timed NAME COMMAND...: runs it once; appends "wall_ns cpu_ns peak_kb" to NAME.times.
timed() {
  local name=$1; shift
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f "%U %S %M" -o time.txt "$@" >/dev/null 2>"$name.err" ||
    { cat "$name.err" >&2; echo "pack-bench: $* failed" >&2; exit 1; }
  t1=$(date +%s%N)
  read -r user sys peak < <(tail -n 1 time.txt)
  python3 -c "print($((t1 - t0)), int(($user + $sys) * 1e9), $peak)" >>"$name.times"
}

for run in $(seq 1 "$runs"); do
  timed one "$pack" build "${stub_option[@]}" --out one.exe --level "$level" --jobs 1 payload
  timed all "$pack" build "${stub_option[@]}" --out all.exe --level "$level" --jobs "$jobs" payload
  timed nsis makensis -V1 bench.nsi
  cmp -s one.exe all.exe || { echo "pack-bench: --jobs 1 and --jobs $jobs gave different installers" >&2; exit 1; }
  echo "run $run: --jobs 1 $(tail -n 1 one.times | cut -d' ' -f1), --jobs $jobs $(tail -n 1 all.times | cut -d' ' -f1)," \
       "makensis $(tail -n 1 nsis.times | cut -d' ' -f1) (ns wall)"
done

python3 - "$bytes" "$jobs" "$level" "$(stat -c %s one.exe)" "$(stat -c %s nsis.exe)" <<'PY'
import sys
size, jobs, level, ours, nsis_size = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
def best(name):
    rows = [tuple(int(x) for x in line.split()) for line in open(name + '.times')]
    return min(r[0] for r in rows), min(r[1] for r in rows), max(r[2] for r in rows)
one, all_, nsis = best('one'), best('all'), best('nsis')
def line(label, r):
    return f"{label:<34} {r[0] / 1e9:7.2f} s wall, {r[1] / 1e9:7.2f} s CPU, {size / 1e6 / (r[0] / 1e9):6.1f} MB/s"
print("best of the runs:")
print(line(f"orvinta-pack --level {level} --jobs 1", one) + f", peak {one[2] / 1024:.0f} MiB")
print(line(f"orvinta-pack --level {level} --jobs {jobs}", all_) + f", peak {all_[2] / 1024:.0f} MiB")
print(line("makensis (zlib)", nsis))
print(f"sizes: orvinta-pack {ours} bytes, makensis {nsis_size} bytes")
print(f"speed-up of --jobs {jobs} over --jobs 1: {one[0] / all_[0]:.2f}x")
print(f"makensis time / orvinta-pack time: --jobs 1 {nsis[0] / one[0]:.2f}x, --jobs {jobs} {nsis[0] / all_[0]:.2f}x")
PY

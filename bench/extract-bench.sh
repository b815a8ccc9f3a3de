#!/usr/bin/env bash
# Extraction benchmark: orvinta-pack extract, with one job and with every processor, of an
# installer carrying about 350 MB of Windows DLLs, against Info-ZIP unzip of the same files
# zipped with "zip -6", all into the same RAM-backed folder in the same run. Then where the
# extraction's time goes (the breakdown program, bench/extract_breakdown.cpp, when given),
# and the peak memory of the extraction for two payload sizes, to show it does not grow
# with the payload.
#
# usage: bench/extract-bench.sh PATH/TO/orvinta-pack [PATH/TO/extract_breakdown]
# needs: zip, unzip, python3, GNU time (/usr/bin/time, Debian package "time").
# environment: BENCH_MB (payload size, default 350), BENCH_SMALL_MB (second payload for
# the memory figure, default 90), BENCH_RUNS (timed runs of each, best counts, default 3),
# BENCH_LEVEL (orvinta-pack level, default 12), BENCH_DIR (default /dev/shm/...),
# BENCH_DLLS (source folder of the files), BENCH_STUB (the installer stub; default the win32
# tree's, build/win32/installer/orvinta-setup.exe).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=payload.sh
source "$here/payload.sh"

pack=${1:?usage: extract-bench.sh PATH/TO/orvinta-pack}
pack=$(cd "$(dirname "$pack")" && pwd)/$(basename "$pack")
breakdown=${2:-}
[ -z "$breakdown" ] || breakdown=$(cd "$(dirname "$breakdown")" && pwd)/$(basename "$breakdown")
mb=${BENCH_MB:-350}
small_mb=${BENCH_SMALL_MB:-90}
runs=${BENCH_RUNS:-5}
level=${BENCH_LEVEL:-12}
dlls=${BENCH_DLLS:-/usr/lib/i386-linux-gnu/wine/i386-windows}
work=${BENCH_DIR:-/dev/shm/orvinta-extract-bench}
root=$(cd "$(dirname "$0")/.." && pwd)
stub=${BENCH_STUB:-$root/build/win32/installer/orvinta-setup.exe}
[ -f "$stub" ] || { echo "extract-bench: no stub $stub; build it: cmake --preset win32 && cmake --build build/win32 --target orvinta-setup (or set BENCH_STUB)" >&2; exit 1; }
stub=$(cd "$(dirname "$stub")" && pwd)/$(basename "$stub")
stub_option=()
[ "$(bench_pe_machine "$stub")" = 6486 ] && stub_option=(--x86-64-test-stub)  # the win64 tree's stub

for tool in unzip zip python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "extract-bench: $tool is missing" >&2; exit 1; }
done
[ -d "$dlls" ] || { echo "extract-bench: no DLL folder $dlls (Debian package wine32)" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$stub" stub.exe

now_ns() { date +%s%N; }
# seconds with three decimals from a nanosecond count
secs() { python3 -c "print(f'{$1 / 1e9:.3f}')"; }

payload_bytes=$(bench_fill_payload payload "$mb")
# Like a real payload it carries the program the installer starts.
cp "$(find payload -type f | LC_ALL=C sort | head -n 1)" payload/orvinta.exe
payload_bytes=$(find payload -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
count=$(find payload -type f | wc -l)
echo "payload: $count files, $payload_bytes bytes"

t0=$(now_ns)
"$pack" build "${stub_option[@]}" --stub stub.exe --out setup.exe --level "$level" payload
t1=$(now_ns)
(cd payload && zip -q -6 ../payload.zip -- *)
t2=$(now_ns)
echo "orvinta-pack build --level $level: $(secs $((t1 - t0))) s, $(stat -c %s setup.exe) bytes"
echo "zip -6:                          $(secs $((t2 - t1))) s, $(stat -c %s payload.zip) bytes"

# timed OUTFILE COMMAND...: runs the command, writes "elapsed_ns cpu_ns" (CPU = user + system).
timed() {
  local result=$1; shift
  local t0 t1
  t0=$(now_ns)
  /usr/bin/time -f "%U %S" -o cpu.txt "$@"
  t1=$(now_ns)
  python3 -c "import sys; u, s = open('cpu.txt').read().split()[-2:]; print($((t1 - t0)), int((float(u) + float(s)) * 1e9))" > "$result"
}

# orvinta-pack with one job (the installer's order, one thread) and with every processor.
best_one=0; best_pack=0; best_unzip=0; cpu_one=0; cpu_pack=0; cpu_unzip=0
for run in $(seq 1 "$runs"); do
  rm -rf out && sync
  timed one.txt "$pack" extract --jobs 1 "${stub_option[@]}" setup.exe out
  if [ "$run" -eq 1 ]; then diff -r payload out >/dev/null || { echo "extract-bench: orvinta-pack --jobs 1 output differs" >&2; exit 1; }; fi
  rm -rf out && sync
  timed pack.txt "$pack" extract "${stub_option[@]}" setup.exe out
  if [ "$run" -eq 1 ]; then diff -r payload out >/dev/null || { echo "extract-bench: orvinta-pack output differs" >&2; exit 1; }; fi
  rm -rf out && sync
  timed unzip.txt unzip -q -o payload.zip -d out
  if [ "$run" -eq 1 ]; then diff -r payload out >/dev/null || { echo "extract-bench: unzip output differs" >&2; exit 1; }; fi
  read -r o oc < one.txt
  read -r p pc < pack.txt
  read -r u uc < unzip.txt
  echo "run $run: orvinta-pack extract --jobs 1 $(secs "$o") s (cpu $(secs "$oc") s), --jobs $(nproc) $(secs "$p") s (cpu $(secs "$pc") s), unzip $(secs "$u") s (cpu $(secs "$uc") s)"
  if [ "$best_one" -eq 0 ] || [ "$o" -lt "$best_one" ]; then best_one=$o; fi
  if [ "$best_pack" -eq 0 ] || [ "$p" -lt "$best_pack" ]; then best_pack=$p; fi
  if [ "$best_unzip" -eq 0 ] || [ "$u" -lt "$best_unzip" ]; then best_unzip=$u; fi
  if [ "$cpu_one" -eq 0 ] || [ "$oc" -lt "$cpu_one" ]; then cpu_one=$oc; fi
  if [ "$cpu_pack" -eq 0 ] || [ "$pc" -lt "$cpu_pack" ]; then cpu_pack=$pc; fi
  if [ "$cpu_unzip" -eq 0 ] || [ "$uc" -lt "$cpu_unzip" ]; then cpu_unzip=$uc; fi
done
rm -rf out

python3 - "$payload_bytes" "$(nproc)" "$best_one" "$best_pack" "$best_unzip" "$cpu_one" "$cpu_pack" "$cpu_unzip" <<'PY'
import sys
size, cores, one_ns, pack_ns, unzip_ns, one_cpu, pack_cpu, unzip_cpu = (int(x) for x in sys.argv[1:])
def rate(ns):
    return size / 1e6 / (ns / 1e9)
for label, ns in ((f"--jobs 1", one_ns), (f"--jobs {cores} (every processor)", pack_ns)):
    print(f"best of runs, wall clock: orvinta-pack extract {label} {ns / 1e9:.3f} s = {rate(ns):.0f} MB/s; "
          f"unzip {unzip_ns / 1e9:.3f} s = {rate(unzip_ns):.0f} MB/s; "
          f"ratio {rate(ns) / rate(unzip_ns):.2f}x unzip's throughput")
print(f"best of runs, CPU time:   orvinta-pack extract --jobs 1 {one_cpu / 1e9:.3f} s, --jobs {cores} "
      f"{pack_cpu / 1e9:.3f} s, unzip {unzip_cpu / 1e9:.3f} s; ratio {unzip_cpu / one_cpu:.2f}x and "
      f"{unzip_cpu / pack_cpu:.2f}x")
PY

# The same extraction step by step with a clock around each step; its files must be the
# payload too. Its times are CPU time, which a loaded machine inflates far less than the
# wall clock.
if [ -n "$breakdown" ]; then
  rm -rf out && mkdir out && sync
  "$breakdown" setup.exe out
  diff -r payload out >/dev/null || { echo "extract-bench: the breakdown's output differs" >&2; exit 1; }
  echo "(load average $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores)"
  rm -rf out
fi

# Peak resident memory of the extraction (maximum resident set, from GNU time), for the
# full payload and a smaller one.
peak_kb() {
  rm -rf out
  /usr/bin/time -f %M -o peak.txt "$pack" extract "${stub_option[@]}" "$1" out
  cat peak.txt
}
large_kb=$(peak_kb setup.exe)
small_bytes=$(bench_fill_payload small "$small_mb")
cp "$(find small -type f | LC_ALL=C sort | head -n 1)" small/orvinta.exe
"$pack" build "${stub_option[@]}" --stub stub.exe --out small.exe --level "$level" small
small_kb=$(peak_kb small.exe)
echo "peak memory of orvinta-pack extract: $large_kb KB for $payload_bytes bytes, $small_kb KB for $small_bytes bytes"

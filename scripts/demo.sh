#!/usr/bin/env bash
# The main job: builds the installer and the packing tool, packs the demo payload (a
# small orvinta.exe built from source, a text, a picture and a larger data file) behind
# the installer, runs it under Wine in a private prefix, and shows what was installed
# where and what the installed program reported. Safe to run again: every run builds
# only what changed and installs afresh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export ORVINTA_ROOT="$root"
start=$(date +%s)

"$root/scripts/install-deps.sh" || { echo "demo: installing the build dependencies failed" >&2; exit 1; }
# shellcheck source=wine-env.sh
source "$root/scripts/wine-env.sh"
# shellcheck source=lib.sh
ORVINTA_ROOT=$root source "$root/scripts/lib.sh"

# The product is the 32-bit installer. A machine that cannot run 32-bit programs gets the
# same sources built for x86-64, run in a 64-bit prefix.
case "${ORVINTA_WINE_ARCH:-}" in
  32|64) arch=$ORVINTA_WINE_ARCH; why="chosen by ORVINTA_WINE_ARCH" ;;
  "")
    if orvinta_wine_can_run_32; then
      arch=32; why="this machine runs 32-bit programs"
    else
      arch=64; why="this machine cannot run 32-bit programs, so the x86-64 build of the same sources runs instead"
    fi
    ;;
  *) echo "demo: ORVINTA_WINE_ARCH must be 32 or 64" >&2; exit 2 ;;
esac
preset=win$arch
echo "== installer: $arch-bit ($why)"

mkdir -p "$root/build"
jobs=${ORVINTA_JOBS:-2}
# ORVINTA_DEMO_TREES=SUFFIX builds in build/host-SUFFIX and build/winNN-SUFFIX instead.
suffix=${ORVINTA_DEMO_TREES:+-$ORVINTA_DEMO_TREES}
tree() { echo "$root/build/$1$suffix"; }
build() {  # build PRESET TARGETS...: configure when needed, then build only those targets
  local p=$1; shift
  local log="$root/build/demo-$p$suffix.log"
  drop_stale_tree "$(tree "$p")"
  if [ ! -f "$(tree "$p")/CMakeCache.txt" ]; then
    cmake --preset "$p" -S "$root" -B "$(tree "$p")" -DORVINTA_HOST_BUILD="$(tree host)" >"$log" 2>&1 \
      || { tail -n 30 "$log"; echo "demo: configuring $p failed (log: $log)" >&2; exit 1; }
  fi
  cmake --build "$(tree "$p")" -j "$jobs" --target "$@" >>"$log" 2>&1 \
    || { grep -E 'error|Error' "$log" | tail -n 30; echo "demo: building $p failed (log: $log)" >&2; exit 1; }
}
echo "== building the packing tool (build/host$suffix) and the installer with the demo payload (build/$preset$suffix)"
build host orvinta-pack
build "$preset" orvinta-setup demo-payload

pack="$(tree host)/tools/orvinta-pack"
stub="$(tree "$preset")/installer/orvinta-setup.exe"
payload="$(tree "$preset")/demo/demo-payload"
work="$root/build/demo"
setup="$work/orvinta-demo-setup-$arch.exe"
mkdir -p "$work"
echo "== packing $(find "$payload" -type f | wc -l) files from ${payload#"$root"/} behind the installer"
# The x86-64 build of the stub is accepted only when named as the test build it is.
stub_option=()
[ "$arch" = 64 ] && stub_option=(--x86-64-test-stub)
"$pack" build "${stub_option[@]}" --stub "$stub" --out "$setup" "$payload"
"$pack" list "${stub_option[@]}" "$setup" | sed 's/^/   /'

orvinta_wine_select "$arch"
export WINEPREFIX="$work/wine-$arch"  # private: the demo never touches the test prefixes
echo "== running ${setup#"$root"/} under Wine ($ORVINTA_WINE, prefix ${WINEPREFIX#"$root"/})"
trap orvinta_wine_stop EXIT
orvinta_wine_boot || { echo "demo: the Wine prefix could not be started" >&2; exit 1; }
run_start=$(date +%s%N)
set +e
(cd "$work" && "$ORVINTA_WINE" "$setup" </dev/null >/dev/null 2>&1)
status=$?
set -e
run_ms=$(( ($(date +%s%N) - run_start) / 1000000 ))
echo "   the installer ended with exit code $status after $run_ms ms"

destination="$WINEPREFIX/drive_c/Program Files/Orvinta"
echo "== installed into C:\\Program Files\\Orvinta (on this machine: ${destination#"$root"/})"
if [ ! -d "$destination" ]; then
  echo "demo: nothing was installed" >&2
  exit 1
fi
same=0 differ=0
for file in "$payload"/*; do
  name=$(basename "$file")
  if cmp -s "$file" "$destination/$name"; then
    same=$((same + 1)); mark="identical to the payload"
  else
    differ=$((differ + 1)); mark="DIFFERS FROM THE PAYLOAD"
  fi
  printf '   %12s  %-14s %s\n' "$(stat -c %s "$destination/$name" 2>/dev/null || echo missing)" "$name" "$mark"
done
echo "== what the installed orvinta.exe reported in install.log"
if [ -f "$destination/install.log" ]; then
  tr -d '\r' <"$destination/install.log" | sed 's/^/   /'
else
  echo "   (no install.log: the program did not run)"
fi
echo "== done in $(( $(date +%s) - start )) s: $same files installed intact, $differ not"
[ "$status" -eq 0 ] && [ "$differ" -eq 0 ] && [ -f "$destination/install.log" ]

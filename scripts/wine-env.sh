# Wine settings shared by everything that runs a Windows program of this project: the
# private prefix of each architecture under build/, the loader that matches it, and the
# start and stop of the prefix's Wine server. Sourced, not run.
#
#   orvinta_wine_select 32|64   exports ORVINTA_WINE_ARCH, ORVINTA_WINE (the loader),
#                               WINEARCH and WINEPREFIX for that architecture
#   orvinta_wine_boot           starts the prefix's server and services (creates the prefix)
#   orvinta_wine_stop           ends the prefix's server and every Wine process in it
#   orvinta_wine_can_run_32     0 when this machine runs 32-bit programs and 32-bit Wine
#   orvinta_pe_arch FILE        prints 32 or 64 for a Windows executable, fails otherwise
#
# 32-bit programs run in a prefix made with WINEARCH=win32 (build/wine-32), 64-bit ones in a
# WINEARCH=win64 prefix (build/wine-64); in both the Program Files folder is C:\Program Files.
# ORVINTA_WINE_PREFIX_32 / ORVINTA_WINE_PREFIX_64 move a prefix elsewhere.

ORVINTA_ROOT=${ORVINTA_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

export WINEDEBUG=-all
# No prompts to install Mono or Gecko: nothing here needs .NET or the HTML engine.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The tests run without a display; Wine must not try to reach one.
unset DISPLAY WAYLAND_DISPLAY

ORVINTA_WINE_32=${ORVINTA_WINE_32:-/usr/lib/wine/wine}
ORVINTA_WINE_64=${ORVINTA_WINE_64:-/usr/lib/wine/wine64}
# The 32-bit loader is the "wine" command when the Debian layout is missing.
if [ ! -x "$ORVINTA_WINE_32" ] && command -v wine >/dev/null 2>&1; then
  ORVINTA_WINE_32=$(command -v wine)
fi
ORVINTA_WINESERVER=${ORVINTA_WINESERVER:-$(command -v wineserver 2>/dev/null || echo /usr/lib/wine/wineserver)}

orvinta_wine_can_run_32() {
  # On machines whose kernel refuses 32-bit processes both of these fail with
  # "Exec format error"; Wine's 32-bit loader can then never start.
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 || return 1
  [ -x "$ORVINTA_WINE_32" ] || return 1
  "$ORVINTA_WINE_32" --version </dev/null >/dev/null 2>&1
}

orvinta_wine_select() {
  case "$1" in
    32)
      export ORVINTA_WINE_ARCH=32 ORVINTA_WINE="$ORVINTA_WINE_32" WINEARCH=win32
      export WINEPREFIX="${ORVINTA_WINE_PREFIX_32:-$ORVINTA_ROOT/build/wine-32}"
      # A 64-bit loader chosen earlier in this environment must not start 32-bit children.
      unset WINELOADER
      ;;
    64)
      export ORVINTA_WINE_ARCH=64 ORVINTA_WINE="$ORVINTA_WINE_64" WINEARCH=win64
      export WINEPREFIX="${ORVINTA_WINE_PREFIX_64:-$ORVINTA_ROOT/build/wine-64}"
      # Children that Wine starts from this prefix use the same loader.
      export WINELOADER="$ORVINTA_WINE_64"
      ;;
    *)
      echo "wine-env: architecture must be 32 or 64, not '$1'" >&2
      return 2
      ;;
  esac
}

# Prints 32 or 64 from the machine field of a PE image's COFF header.
orvinta_pe_arch() {
  local file=$1
  [ -f "$file" ] || return 1
  local mz pe_offset signature machine
  mz=$(od -An -tx1 -N2 "$file" 2>/dev/null | tr -d ' \n')
  [ "$mz" = "4d5a" ] || return 1
  pe_offset=$(od -An -tu4 -j60 -N4 "$file" | tr -d ' \n')
  signature=$(od -An -tx1 -j"$pe_offset" -N4 "$file" | tr -d ' \n')
  [ "$signature" = "50450000" ] || return 1
  machine=$(od -An -tx1 -j$((pe_offset + 4)) -N2 "$file" | tr -d ' \n')
  case "$machine" in
    4c01) echo 32 ;;  # IMAGE_FILE_MACHINE_I386
    6486) echo 64 ;;  # IMAGE_FILE_MACHINE_AMD64
    *) return 1 ;;
  esac
}

# Starts a persistent server for the selected prefix and runs wineboot, which creates
# the prefix on first use and starts its background services. Every descriptor goes to
# /dev/null: the services outlive this call, and a pipe they inherited (from ctest, say)
# would never close. Safe to call again while the prefix runs. 0 when the prefix works.
orvinta_wine_boot() {
  [ -n "${WINEPREFIX:-}" ] && [ -n "${ORVINTA_WINE:-}" ] || { echo "wine-env: no prefix selected" >&2; return 2; }
  mkdir -p "$WINEPREFIX" || return 1
  (
    # One boot at a time per prefix, also when ctest starts several programs at once.
    # The lock descriptor is closed for the server and services, which outlive the boot.
    flock 9 || exit 1
    "$ORVINTA_WINESERVER" -p </dev/null >/dev/null 2>&1 9>&-
    "$ORVINTA_WINE" wineboot </dev/null >/dev/null 2>&1 9>&-
  ) 9>"$WINEPREFIX.lock"
}

orvinta_wine_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  [ -d "$WINEPREFIX" ] || return 0
  "$ORVINTA_WINESERVER" -k </dev/null >/dev/null 2>&1 || true
}

# The Windows part of the test run, sourced by scripts/test.sh after the host trees
# (needs lib.sh's configure_and_build, run_ctest, note_failure and the tally).
#
# win32, the product, is always built and its executables checked. The Windows tests run
# under 32-bit Wine in win32 where this machine runs 32-bit programs; where it cannot (the
# kernel refuses 32-bit processes, so Wine's 32-bit loader never starts) the same sources
# are built as win64 and the tests run under 64-bit Wine. ORVINTA_WINE_ARCH=32|64 forces
# the choice; a forced 32 on a machine that cannot run it is a failed test group.

# shellcheck source=wine-env.sh
source "$ORVINTA_ROOT/scripts/wine-env.sh"

# The executables that the build made: those beside a CMakeFiles folder, not the ones
# that tests write into folders of their own.
orvinta_built_executables() {
  local folder
  while IFS= read -r -d '' folder; do
    find "$(dirname "$folder")" -maxdepth 1 -name '*.exe' -type f -print0
  done < <(find "$1" -type d -name CMakeFiles -prune -print0)
}

# Every executable of a Windows tree must be a PE image of the tree's architecture that
# loads only system DLLs: the static link leaves no MinGW runtime DLL to ship beside it.
orvinta_check_windows_executables() {
  local preset=$1 want_arch=$2
  local tree="$ORVINTA_ROOT/build/$preset" objdump bad=0 count=0 exe arch dll
  objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$tree/CMakeCache.txt")
  [ -x "$objdump" ] || objdump=objdump
  while IFS= read -r -d '' exe; do
    count=$((count + 1))
    arch=$(orvinta_pe_arch "$exe") || arch=none
    if [ "$arch" != "$want_arch" ]; then
      echo "${exe#"$ORVINTA_ROOT"/}: not a $want_arch-bit Windows executable ($arch)"
      bad=1
    fi
    while read -r dll; do
      case "${dll,,}" in
        libstdc++*|libgcc*|libwinpthread*|*mingw*)
          echo "${exe#"$ORVINTA_ROOT"/}: needs $dll"
          bad=1
          ;;
      esac
    done < <("$objdump" -p "$exe" 2>/dev/null | sed -n 's/^\s*DLL Name: //p')
  done < <(orvinta_built_executables "$tree")
  echo "== $preset executables: $count checked"
  if [ "$count" -eq 0 ] || [ "$bad" -ne 0 ]; then
    note_failure "$preset executables"
    return 1
  fi
  total_passed=$((total_passed + 1))
}

orvinta_windows_tests() {
  local host_args=("-DORVINTA_HOST_BUILD=$ORVINTA_ROOT/build/host")
  local win32_built=0 arch reason preset

  if configure_and_build win32 "${host_args[@]}"; then
    win32_built=1
    orvinta_check_windows_executables win32 32 || true
  else
    note_failure "win32 (build)"
  fi

  case "${ORVINTA_WINE_ARCH:-}" in
    32) arch=32; reason="forced by ORVINTA_WINE_ARCH=32" ;;
    64) arch=64; reason="forced by ORVINTA_WINE_ARCH=64" ;;
    "")
      if orvinta_wine_can_run_32; then
        arch=32; reason="this machine runs 32-bit programs and 32-bit Wine starts"
      else
        arch=64; reason="this machine cannot run 32-bit programs (/lib/ld-linux.so.2 or 32-bit Wine does not start)"
      fi
      ;;
    *)
      echo "ORVINTA_WINE_ARCH must be 32 or 64, not '$ORVINTA_WINE_ARCH'"
      note_failure "Windows tests (ORVINTA_WINE_ARCH=$ORVINTA_WINE_ARCH)"
      return 1
      ;;
  esac
  echo "== Windows tests under $arch-bit Wine: $reason"

  if [ "$arch" = 32 ]; then
    if ! orvinta_wine_can_run_32; then
      echo "32-bit Wine cannot start on this machine (/lib/ld-linux.so.2 --version or $ORVINTA_WINE_32 --version fails);"
      echo "unset ORVINTA_WINE_ARCH or set it to 64 to run the Windows tests under 64-bit Wine"
      note_failure "win32 under Wine (32-bit programs cannot run here)"
      return 1
    fi
    if [ "$win32_built" -ne 1 ]; then
      echo "the Windows tests did not run: win32 did not build"
      return 1
    fi
    preset=win32
  else
    if ! configure_and_build win64 "${host_args[@]}"; then
      note_failure "win64 (build)"
      return 1
    fi
    orvinta_check_windows_executables win64 64 || true
    preset=win64
  fi

  # Tests that start Windows programs themselves use the same loader and prefix.
  orvinta_wine_select "$arch"
  echo "== Wine: $ORVINTA_WINE, prefix ${WINEPREFIX#"$ORVINTA_ROOT"/}"
  trap orvinta_wine_stop EXIT
  if orvinta_wine_boot; then
    run_ctest "$preset" || true
  else
    echo "the Wine prefix $WINEPREFIX could not be booted"
    note_failure "$preset (Wine prefix)"
  fi
  orvinta_wine_stop
  trap - EXIT
}

windows_start=$(date +%s)
orvinta_windows_tests || true
echo "Windows part took $(( $(date +%s) - windows_start )) s"

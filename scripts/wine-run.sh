#!/usr/bin/env bash
# Runs a Windows program under Wine and passes its exit code through:
#   scripts/wine-run.sh [--arch 32|64] PROGRAM [ARGUMENTS...]
# The architecture comes from --arch, else from the program's PE header, else from
# ORVINTA_WINE_ARCH, else 32 where this machine runs 32-bit programs and 64 where not.
# The program runs in the project's private prefix of that architecture (see wine-env.sh),
# which is created and booted first when needed. ctest uses this as the emulator of the
# Windows build trees; other tests may call it for any Windows program or Wine command.
set -u
# shellcheck source=wine-env.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

arch=""
if [ "${1:-}" = "--arch" ]; then
  arch=${2:-}
  shift 2 || { echo "wine-run: --arch needs 32 or 64" >&2; exit 125; }
fi
if [ $# -eq 0 ]; then
  echo "usage: wine-run.sh [--arch 32|64] PROGRAM [ARGUMENTS...]" >&2
  exit 125
fi
if [ -z "$arch" ]; then
  arch=$(orvinta_pe_arch "$1") || arch=${ORVINTA_WINE_ARCH:-}
fi
if [ -z "$arch" ]; then
  if orvinta_wine_can_run_32; then arch=32; else arch=64; fi
fi
orvinta_wine_select "$arch" || exit 125
if [ "$arch" = 32 ] && ! orvinta_wine_can_run_32; then
  echo "wine-run: this machine cannot run 32-bit programs, so 32-bit Wine cannot start $1" >&2
  exit 125
fi
if ! orvinta_wine_boot; then
  echo "wine-run: could not boot the Wine prefix $WINEPREFIX" >&2
  exit 125
fi
exec "$ORVINTA_WINE" "$@"

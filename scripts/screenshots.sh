#!/usr/bin/env bash
# Shows each of the installer's three messages in a real window on a virtual X display
# (Xvfb), photographs it (ImageMagick's import) and dismisses it with the Return key
# (xdotool), as a user would. Every message comes from the real installer:
#   1  no archive behind the installer          -> message-1-no-archive.png
#   2  an entry whose file cannot be created     -> message-2-cannot-create.png
#   3  an entry whose CRC-32 does not match      -> message-3-corrupted.png
#
#   scripts/screenshots.sh [--stub orvinta-setup.exe] [--out FOLDER] [--check]
#
# --out: where the PNG files go (default docs/). --check: the test run of CI; checks
# that each box appears captioned "Orvinta Install", goes away when dismissed and that
# the installer then exits, and writes its pictures below --out (default build/screenshots).
# Without --stub the win32 build tree's installer is used (built first when missing).
# Needs the Debian packages xvfb, xauth, xdotool, imagemagick and fonts-wine (the
# glyphs of the caption bar's close button).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export ORVINTA_ROOT="$root"

stub=""
out=""
check=0
while [ $# -gt 0 ]; do
  case "$1" in
    --stub) stub=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --check) check=1; shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "screenshots: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$out" ]; then
  if [ "$check" -eq 1 ]; then out="$root/build/screenshots"; else out="$root/docs"; fi
fi
for tool in Xvfb xdotool import python3; do
  command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (apt-get install xvfb xauth xdotool imagemagick fonts-wine)" >&2; exit 1; }
done
if [ -z "$stub" ]; then
  stub="$root/build/win32/installer/orvinta-setup.exe"
  if [ ! -f "$stub" ]; then
    cmake --preset win32 -S "$root" >/dev/null
    cmake --build "$root/build/win32" -j "${ORVINTA_JOBS:-2}" --target orvinta-setup >/dev/null
  fi
fi
stub=$(cd "$(dirname "$stub")" && pwd)/$(basename "$stub")

# shellcheck source=wine-env.sh
source "$root/scripts/wine-env.sh"
arch=$(orvinta_pe_arch "$stub") || { echo "screenshots: $stub is not a Windows executable" >&2; exit 1; }
# A prefix of its own: the windows must reach this X display, and a prefix whose desktop
# was started without a display (as the other tests' are) would never show them.
export ORVINTA_WINE_PREFIX_32="${ORVINTA_SCREENSHOT_PREFIX:-$root/build/wine-screens}-32"
export ORVINTA_WINE_PREFIX_64="${ORVINTA_SCREENSHOT_PREFIX:-$root/build/wine-screens}-64"
orvinta_wine_select "$arch"

work=$(mktemp -d "${TMPDIR:-/tmp}/orvinta-screens.XXXXXX")
xvfb_pid=""
installer_pid=""
finish() {
  [ -n "$installer_pid" ] && kill "$installer_pid" 2>/dev/null || true
  orvinta_wine_stop
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# The display: Xvfb picks a free number and writes it to the descriptor given.
Xvfb -displayfd 3 -screen 0 640x360x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; echo "screenshots: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(tr -d '\n' <"$work/display")"  # set after wine-env.sh, which unsets it

orvinta_wine_boot || { echo "screenshots: the Wine prefix $WINEPREFIX could not be booted" >&2; exit 1; }
# No window manager runs on the display: Wine draws the caption bar itself.
"$ORVINTA_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
# The close button's glyph comes from Marlett, which Wine finds only in the prefix's
# own font folder.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ -d "$fonts" ] && [ ! -f "$fonts/marlett.ttf" ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
fi

# The three installers: the bare stub, and two archives that the packing tool would
# refuse to write, made by the end-to-end tests' writer.
cp "$stub" "$work/setup-1.exe"
python3 - "$stub" "$work" <<'PYTHON'
import os, sys
sys.path.insert(0, os.path.join(os.environ['ORVINTA_ROOT'], 'tests', 'installer'))
from installer_wine import Entry, write_installer
stub, work = sys.argv[1], sys.argv[2]
readme = b'Orvinta\r\n' * 200
write_installer(os.path.join(work, 'setup-2.exe'), stub, [Entry('readme.txt', readme, 8), Entry('plugins/', b'')])
write_installer(os.path.join(work, 'setup-3.exe'), stub, [Entry('readme.txt', readme, 8, crc=0x0BADC0DE)])
PYTHON

mkdir -p "$out"
downloads="$WINEPREFIX/drive_c/users/Public/Downloads"
names=(message-1-no-archive message-2-cannot-create message-3-corrupted)
CAPTION="Orvinta Install"
failures=0
for i in 1 2 3; do
  name=${names[i - 1]}
  log="$work/setup-$i.log"
  # Each run starts from an empty destination, so that message 3 is reached the same way
  # every time, and from a download folder, where a user starts an installer.
  rm -rf "$WINEPREFIX/drive_c/Program Files/Orvinta" "$WINEPREFIX/drive_c/Program Files (x86)/Orvinta"
  rm -rf "$downloads"
  mkdir -p "$downloads"
  cp "$work/setup-$i.exe" "$downloads/orvinta-setup.exe"
  ( cd "$downloads" && exec "$ORVINTA_WINE" orvinta-setup.exe ) >"$log" 2>&1 &
  installer_pid=$!
  window=$(timeout 60 xdotool search --sync --onlyvisible --name "^$CAPTION\$" 2>/dev/null | head -n 1 || true)
  if [ -z "$window" ]; then
    echo "FAIL $name: no window captioned \"$CAPTION\" appeared"
    failures=$((failures + 1))
    kill "$installer_pid" 2>/dev/null || true
    wait "$installer_pid" 2>/dev/null || true
    installer_pid=""
    continue
  fi
  sleep 1  # let the box paint itself
  import -window "$window" "$out/$name.png"
  title=$(xdotool getwindowname "$window")
  xdotool windowfocus --sync "$window"
  xdotool key --clearmodifiers Return
  gone=0
  for _ in $(seq 1 100); do
    if ! xdotool search --onlyvisible --name "^$CAPTION\$" >/dev/null 2>&1; then gone=1; break; fi
    sleep 0.1
  done
  exited=0
  for _ in $(seq 1 300); do
    if ! kill -0 "$installer_pid" 2>/dev/null; then exited=1; break; fi
    sleep 0.1
  done
  code=0
  if [ "$exited" -eq 1 ]; then wait "$installer_pid" || code=$?; else kill "$installer_pid" 2>/dev/null || true; fi
  installer_pid=""
  size=$(identify -format '%wx%h' "$out/$name.png" 2>/dev/null || echo none)
  # A box that painted nothing would be one or two flat colours.
  colours=$(identify -format '%k' "$out/$name.png" 2>/dev/null || echo 0)
  if [ "$title" != "$CAPTION" ] || [ "$gone" -ne 1 ] || [ "$exited" -ne 1 ] || [ "$code" -ne 0 ] ||
     [ "$size" = none ] || [ "$colours" -lt 3 ]; then
    echo "FAIL $name: caption \"$title\", dismissed: $gone, installer ended: $exited (exit code $code)," \
         "picture: $size, $colours colours"
    failures=$((failures + 1))
  else
    echo "PASS $name: \"$title\" shown, photographed ($size, ${out%/}/$name.png), dismissed with Return, installer ended"
  fi
done
[ "$failures" -eq 0 ]

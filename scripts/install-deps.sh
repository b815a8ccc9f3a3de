#!/usr/bin/env bash
# Installs what building and testing the installer needs from Debian's packages.
# Safe to run again: it asks apt only for what is missing.
set -euo pipefail

packages=(
  cmake make g++ clang libclang-rt-14-dev googletest time
  zlib1g-dev libdeflate-dev libssl-dev nlohmann-json3-dev zip unzip python3
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  libz-mingw-w64-dev
  wine wine64 wine32:i386
  xvfb xauth xdotool imagemagick fonts-wine osslsigncode openssl nsis
  dpkg-dev lintian groff-base
)
# Further groups are added by the scripts that need them: ORVINTA_EXTRA_PACKAGES.
if [ -n "${ORVINTA_EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$ORVINTA_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    *"install ok installed"*) ;;
    *) missing+=("$p") ;;
  esac
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index or another; the install below still works from
# the indexes that did arrive, so a failed update is only a warning.
if ! $sudo apt-get update -q >&2; then
  echo "install-deps: apt-get update reported errors; installing from the indexes it has" >&2
fi
install=($sudo apt-get install -y -q --no-install-recommends)
if ! "${install[@]}" "${missing[@]}" >&2; then
  # Without one architecture's security index, the amd64 and i386 builds of a shared
  # library (Multi-Arch: same) no longer come in the same version. Taking the release's
  # own versions, which exist for both, resolves that.
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || exit 1
  echo "install-deps: retrying with the versions of $codename itself" >&2
  "${install[@]}" -t "$codename" "${missing[@]}" >&2
fi

#!/usr/bin/env bash
# Builds the installer stub from two fresh clones of the same commit, in folders of
# different depth and name length, and expects byte-identical executables; then packs the
# same files, copied with different modification times and in a different order, onto
# each stub and expects byte-identical installers; the signature of one, moved onto the
# other, gives the signed file byte for byte.
#
#   reproducible_build.sh SOURCE_TREE WORK_FOLDER [ORVINTA_PACK]
#
# The commit built is SOURCE_TREE's HEAD: what a vendor would publish and someone else
# would rebuild. SOURCE_DATE_EPOCH is the commit's time, as a vendor would set it.
set -euo pipefail
root=$(cd "$1" && pwd)
work=$2
pack=${3:-}
jobs=${ORVINTA_JOBS:-2}

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
commit=$(git -C "$root" rev-parse HEAD)
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH

first="$work/a"
second="$work/a second clone, in a folder with a much longer name/b"
stubs=()
for clone in "$first" "$second"; do
  git clone --quiet --no-checkout "$root" "$clone"
  git -C "$clone" checkout --quiet "$commit"
  log="$work/build-$(basename "$clone").log"
  if ! { cmake --preset win32 -S "$clone" -DORVINTA_TESTS=OFF &&
         cmake --build "$clone/build/win32" -j "$jobs" --target orvinta-setup; } >"$log" 2>&1; then
    tail -n 30 "$log"
    echo "FAIL: the stub did not build in $clone (log: $log)"
    exit 1
  fi
  stubs+=("$clone/build/win32/installer/orvinta-setup.exe")
done

if ! cmp -s "${stubs[0]}" "${stubs[1]}"; then
  echo "FAIL: the stubs of the two clones differ ($(cmp -l "${stubs[0]}" "${stubs[1]}" | wc -l) bytes); first differences:"
  cmp -l "${stubs[0]}" "${stubs[1]}" | head -n 10
  exit 1
fi
for clone in "$first" "$second"; do
  if grep -aq -F "$clone" "${stubs[0]}"; then
    echo "FAIL: the stub names the folder it was built in ($clone)"
    exit 1
  fi
done
echo "stub: $(stat -c %s "${stubs[0]}") bytes, identical from both clones of ${commit:0:12}"

if [ -z "$pack" ]; then
  echo "packing not checked: no orvinta-pack given"
  exit 0
fi
# The same payload twice: created in opposite orders, with different file times.
payload_a="$work/payload a"
payload_b="$work/payload-b"
mkdir -p "$payload_a" "$payload_b"
names=(orvinta.exe readme.txt data.bin empty.dat)
for name in "${names[@]}"; do
  case "$name" in
    orvinta.exe) cp "${stubs[0]}" "$payload_a/$name" ;;
    readme.txt) for i in $(seq 1 400); do echo "line $i of the readme"; done >"$payload_a/$name" ;;
    data.bin) head -c 100000 /dev/urandom >"$payload_a/$name" ;;
    empty.dat) : >"$payload_a/$name" ;;
  esac
  touch -d '2001-02-03 04:05:06' "$payload_a/$name"
done
for ((i = ${#names[@]} - 1; i >= 0; i--)); do
  cp "$payload_a/${names[i]}" "$payload_b/${names[i]}"  # new files: today's time
done
"$pack" build --stub "${stubs[0]}" --out "$work/setup-a.exe" "$payload_a" >/dev/null
"$pack" build --stub "${stubs[1]}" --out "$work/setup-b.exe" "$payload_b" >/dev/null
if ! cmp -s "$work/setup-a.exe" "$work/setup-b.exe"; then
  echo "FAIL: the same files packed twice give different installers"
  cmp -l "$work/setup-a.exe" "$work/setup-b.exe" | head -n 10
  exit 1
fi
# Without SOURCE_DATE_EPOCH the entries carry the files' own times: the check above is
# only meaningful if those differ.
SOURCE_DATE_EPOCH= "$pack" build --stub "${stubs[0]}" --out "$work/setup-own-times.exe" "$payload_b" >/dev/null
if cmp -s "$work/setup-a.exe" "$work/setup-own-times.exe"; then
  echo "FAIL: SOURCE_DATE_EPOCH made no difference to the entries' times"
  exit 1
fi
echo "installer: $(stat -c %s "$work/setup-a.exe") bytes, identical from both payload copies"

# A published installer is signed; whoever rebuilds it lacks the key. Moving the published
# signature onto the rebuilt unsigned installer must give the published file exactly.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Orvinta Reproducible Build Test" >/dev/null 2>&1 || { echo "FAIL: openssl could not make a test certificate"; exit 1; }
"$pack" build --stub "${stubs[0]}" --out "$work/published.exe" --sign-cert "$work/cert.pem" \
  --sign-key "$work/key.pem" "$payload_a" >/dev/null
osslsigncode extract-signature -in "$work/published.exe" -out "$work/published.sig" >/dev/null
osslsigncode attach-signature -sigin "$work/published.sig" -CAfile "$work/cert.pem" \
  -in "$work/setup-b.exe" -out "$work/rebuilt.exe" >/dev/null
if ! cmp -s "$work/published.exe" "$work/rebuilt.exe"; then
  echo "FAIL: the published signature moved onto the rebuilt installer does not give the published file"
  cmp -l "$work/published.exe" "$work/rebuilt.exe" | head -n 10
  exit 1
fi
echo "signed: the published signature on the rebuilt installer gives the published file, byte for byte"
rm -rf "$work"

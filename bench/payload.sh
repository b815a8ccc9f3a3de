# Helpers of the packing and extraction benchmarks, sourced: a payload of Windows DLLs
# (installer-like files every build machine with Debian's wine32 package has) and a stub
# that orvinta-pack accepts. The caller sets dlls (the source folder) first.

# bench_fill_payload FOLDER MEGABYTES: DLLs in name order until the size is reached; when
# the source folder runs out, the files come again under numbered names. Prints the bytes.
bench_fill_payload() {
  local folder=$1 limit=$(( $2 * 1000 * 1000 )) total=0 round=0 f name size
  mkdir -p "$folder"
  mapfile -t sources < <(find "$dlls" -maxdepth 1 -type f -name '*.dll' | LC_ALL=C sort)
  [ ${#sources[@]} -gt 0 ] || { echo "bench: no DLLs in $dlls" >&2; exit 1; }
  while [ "$total" -lt "$limit" ]; do
    for f in "${sources[@]}"; do
      name=$(basename "$f")
      [ "$round" -gt 0 ] && name="${name%.dll}-$round.dll"
      cp "$f" "$folder/$name"
      size=$(stat -c %s "$f")
      total=$((total + size))
      [ "$total" -ge "$limit" ] && break
    done
    round=$((round + 1))
  done
  echo "$total"
}

# bench_random_stub PACK FILE: 64 KiB of random bytes that hold no scrambled signature
# (orvinta-pack refuses a stub that does).
bench_random_stub() {
  local pack=$1 stub=$2
  until head -c 65536 /dev/urandom > "$stub" &&
        "$pack" build --stub "$stub" --out "$stub.probe" "$stub" 2>/dev/null; do :; done
  rm -f "$stub.probe"
}

# The payload of the packing and extraction benchmarks, sourced: Windows DLLs, installer-
# like files that every build machine with Debian's wine32 package has. The caller sets
# dlls (the source folder) first.

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

# bench_pe_machine FILE: the machine field of a PE image, as hex bytes (4c01 for
# x86, 6486 for x86-64, whose test stub needs --x86-64-test-stub).
bench_pe_machine() {
  od -An -tx1 -j "$(( $(od -An -tu4 -j 60 -N4 "$1") + 4 ))" -N2 "$1" | tr -d ' \n'
}

# Shared by the test scripts: build a preset's tree, run its tests, keep the tally.
# Sourced, not run.

ORVINTA_ROOT=${ORVINTA_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
ORVINTA_JOBS=${ORVINTA_JOBS:-$(nproc 2>/dev/null || echo 2)}
total_passed=0
total_failed=0
failed_groups=()

# drop_stale_tree DIR: the cross toolchain's flags reach a tree only as initial cache
# values, so a tree configured before the toolchain files last changed would keep building
# with the old flags (and, say, a stub over its size limit). Such a tree starts afresh.
drop_stale_tree() {
  local dir=$1 file
  [ -f "$dir/CMakeCache.txt" ] || return 0
  grep -q '^CMAKE_TOOLCHAIN_FILE.*toolchain-mingw' "$dir/CMakeCache.txt" || return 0
  for file in "$ORVINTA_ROOT"/cmake/mingw-common.cmake "$ORVINTA_ROOT"/cmake/toolchain-*.cmake; do
    if [ "$file" -nt "$dir/CMakeCache.txt" ]; then
      echo "== $dir was configured before $(basename "$file") changed: starting it afresh"
      rm -rf "$dir"
      return 0
    fi
  done
}

# configure_and_build PRESET [extra cmake args...]: 0 on success.
configure_and_build() {
  local preset=$1; shift
  echo "== configure and build: $preset"
  drop_stale_tree "$ORVINTA_ROOT/build/$preset"
  if [ -d "$ORVINTA_ROOT/build/$preset/stub-win32" ]; then
    # the host tree's own build of the stub (cmake/OrvintaStub.cmake)
    drop_stale_tree "$ORVINTA_ROOT/build/$preset/stub-win32"
    [ -d "$ORVINTA_ROOT/build/$preset/stub-win32" ] || rm -rf "$ORVINTA_ROOT/build/$preset/stub-win32-steps"
  fi
  if ! cmake --preset "$preset" "$@" -S "$ORVINTA_ROOT" >"$ORVINTA_ROOT/build/$preset.configure.log" 2>&1; then
    tail -n 40 "$ORVINTA_ROOT/build/$preset.configure.log"
    echo "configure of $preset FAILED (log: build/$preset.configure.log)"
    return 1
  fi
  if ! cmake --build "$ORVINTA_ROOT/build/$preset" -j "$ORVINTA_JOBS" >"$ORVINTA_ROOT/build/$preset.build.log" 2>&1; then
    grep -E 'error|Error' "$ORVINTA_ROOT/build/$preset.build.log" | head -n 40
    echo "build of $preset FAILED (log: build/$preset.build.log)"
    return 1
  fi
}

# note_failure GROUP: a group that could not run counts as one failed test.
note_failure() {
  total_failed=$((total_failed + 1))
  failed_groups+=("$1")
}

# run_ctest PRESET [ctest args...]: runs the tree's tests and adds them to the tally.
run_ctest() {
  local preset=$1; shift
  local log="$ORVINTA_ROOT/build/$preset.ctest.log"
  echo "== tests: $preset"
  ctest --test-dir "$ORVINTA_ROOT/build/$preset" --output-on-failure -j "$ORVINTA_JOBS" "$@" 2>&1 | tee "$log" \
    | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|^ +Start +[0-9]+: ' || true
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "no test ran in $preset"
    note_failure "$preset"
    return 1
  fi
  local failed total
  failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  total_passed=$((total_passed + total - failed))
  total_failed=$((total_failed + failed))
  [ "$failed" -eq 0 ] || failed_groups+=("$preset")
  [ "$failed" -eq 0 ]
}

# build_and_test PRESET: both steps, failures tallied.
build_and_test() {
  local preset=$1; shift
  if configure_and_build "$preset" "$@"; then
    run_ctest "$preset" || true
  else
    note_failure "$preset (build)"
  fi
}

print_tally() {
  if [ ${#failed_groups[@]} -gt 0 ]; then
    echo "failures in: ${failed_groups[*]}"
  fi
  echo "$total_passed passed, $total_failed failed"
}

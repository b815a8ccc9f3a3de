#!/usr/bin/env bash
# Runs every test: the portable code natively and under the sanitizers, then the
# Windows build under Wine. Installs what it needs first. The last line is the tally.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export ORVINTA_ROOT="$root"
start=$(date +%s)

"$root/scripts/install-deps.sh" || { echo "installing the build dependencies failed"; echo "0 passed, 1 failed"; exit 1; }
mkdir -p "$root/build"
# shellcheck source=lib.sh
source "$root/scripts/lib.sh"

build_and_test host
build_and_test host-asan
if [ -f "$root/scripts/test-windows.sh" ]; then
  # shellcheck source=test-windows.sh
  source "$root/scripts/test-windows.sh"
fi

echo "test run took $(( $(date +%s) - start )) s"
print_tally
[ "$total_failed" -eq 0 ]

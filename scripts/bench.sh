#!/usr/bin/env bash
# make bench: runs every benchmark executable that was built.
set -euo pipefail
build=${1:-build}
found=0
# One folder per subject: bench/<subject>/bench_<name>.
for exe in "$build"/bench/*/bench_*; do
  [ -f "$exe" ] && [ -x "$exe" ] || continue
  found=1
  echo "== $(basename "$exe")"
  "$exe"
done
[ $found -eq 1 ] || echo "bench: no benchmarks built"

#!/usr/bin/env bash
# make bench: runs every benchmark executable that was built.
set -euo pipefail
build=${1:-build}
found=0
for exe in "$build"/bench/bench_*; do
  [ -x "$exe" ] || continue
  found=1
  echo "== $(basename "$exe")"
  "$exe"
done
[ $found -eq 1 ] || echo "bench: no benchmarks built"

#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a fixed time each.
#
#   fuzz/run.sh BUILD_DIR SECONDS_PER_TARGET [TARGET...]
#
# FUZZ_RUNS=N also stops a target after N executions.
#
# Each target fuzz_<name> starts from the committed seeds in
# fuzz/corpus/<name>/ and keeps what it finds in BUILD_DIR/fuzz-corpus/<name>/
# (the committed corpus is never written). A crash, a sanitizer finding or a
# failed check stops that target; its input is saved as
# BUILD_DIR/fuzz-artifacts/<name>-crash-..., and the run fails at the end.
# Replay a saved input with: BUILD_DIR/fuzz/fuzz_<name> <file>
# Every target's executions and outcome are listed at the end.
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS_PER_TARGET [TARGET...]}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS_PER_TARGET [TARGET...]}
shift 2

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for exe in "$build"/fuzz/fuzz_*; do
    [ -f "$exe" ] && [ -x "$exe" ] && targets+=("$(basename "$exe" | sed 's/^fuzz_//')")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz/run.sh: no fuzz targets in $build/fuzz (configure with -DZELVO_FUZZ=ON, as make fuzz does)" >&2
  exit 2
fi

mkdir -p "$build/fuzz-artifacts"
export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

failed=()
summary=()
for name in "${targets[@]}"; do
  exe="$build/fuzz/fuzz_$name"
  seeds="fuzz/corpus/$name"
  work="$build/fuzz-corpus/$name"
  log="$build/fuzz-artifacts/$name.log"
  mkdir -p "$work"
  echo "== fuzz_$name: ${seconds} s"
  "$exe" -max_total_time="$seconds" ${FUZZ_RUNS:+-runs="$FUZZ_RUNS"} -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$name-" "$work" "$seeds" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $rc -eq 0 ]; then
    summary+=("$(printf '%-22s %12s executions  no crash' "$name" "${runs:-?}")")
  else
    failed+=("$name")
    summary+=("$(printf '%-22s %12s executions  FAILED (exit %d), see %s' "$name" "${runs:-?}" "$rc" "$log")")
    grep -E "^(==[0-9]+==ERROR|SUMMARY|.*fuzz check failed|artifact_prefix|Test unit written)" "$log" | head -10
  fi
done

echo "== fuzz summary (${seconds} s per target)"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz/run.sh: failing targets: ${failed[*]}" >&2
  exit 1
fi

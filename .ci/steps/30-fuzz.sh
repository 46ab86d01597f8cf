#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets of tests/fuzz with clang (ASan +
# UBSan + libFuzzer), then runs each one for a fixed time from its committed
# seeds.  Any crash, sanitizer report, leak or time-out fails the step; the
# input that caused it is kept in $fuzz_build/artifacts/.
#
# TOVLINK_FUZZ_BUILD names another build folder; TOVLINK_FUZZ_SECONDS
# overrides every target's run time (a quick local check).
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

started=$SECONDS
stage() { echo "-- [$((SECONDS - started)) s] $*"; }

scripts/setup --ci

fuzz_build="${TOVLINK_FUZZ_BUILD:-build-fuzz}"
stage "building the fuzz targets ($fuzz_build)"
mkdir -p "$fuzz_build"
ci_configure -S tests/fuzz -B "$fuzz_build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  >"$fuzz_build/configure.log" 2>&1 || { cat "$fuzz_build/configure.log"; exit 1; }
cmake --build "$fuzz_build" -j"$(nproc)"

# Seconds per target.  Connect spends 1-10 s per execution in the dialogue's
# fixed pauses and waits, so it runs a few dozen executions from its seeds.
declare -A seconds=([status_line]=45 [line_exchange]=45 [robot_operations]=60 [connect]=60
  [service_request]=45)
mkdir -p "$fuzz_build/artifacts"
failed=0
for target in status_line line_exchange robot_operations connect service_request; do
  run_seconds="${TOVLINK_FUZZ_SECONDS:-${seconds[$target]}}"
  stage "fuzz_$target for $run_seconds s"
  # Work on a copy so the committed seeds stay as they are.
  corpus="$fuzz_build/corpus/$target"
  rm -rf "$corpus" && mkdir -p "$corpus"
  cp tests/fuzz/corpus/"$target"/* "$corpus"/
  log="$fuzz_build/fuzz_$target.log"
  # -close_fd_mask=3 silences the library's diagnostic lines; libFuzzer and
  # the sanitizers keep reporting on their own copy of standard error.
  if "$fuzz_build/fuzz_$target" -close_fd_mask=3 -max_total_time="$run_seconds" -timeout=30 \
    -rss_limit_mb=2048 -dict=tests/fuzz/replies.dict \
    -artifact_prefix="$fuzz_build/artifacts/$target-" "$corpus" >"$log" 2>&1; then
    echo "PASS  fuzz_$target: $(grep -E '^Done [0-9]+ runs' "$log" | tail -1)," \
      "corpus $(ls "$corpus" | wc -l) inputs"
  else
    echo "FAIL  fuzz_$target (log: $log)"
    grep -E -A30 'ERROR|runtime error|timeout|deadly signal' "$log" | head -60 || tail -40 "$log"
    failed=1
  fi
done
stage "done"
exit "$failed"

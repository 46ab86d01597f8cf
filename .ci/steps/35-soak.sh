#!/usr/bin/env bash
# Soak: 200 connect/operate/end cycles through the shared library against the
# virtual robot, as 4 processes of 50 cycles each against 4 robots of their
# own (one connection per process), each checking that its open file
# descriptors and threads are unchanged afterwards.  Then one short session
# (2 cycles) under valgrind memcheck: no error and nothing definitely lost.
#
# Uses the native build (default ./build, as .ci/run makes it);
# TOVLINK_NATIVE_BUILD names another.  TOVLINK_SOAK_CYCLES overrides the
# cycles per process.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

started=$SECONDS
stage() { echo "-- [$((SECONDS - started)) s] $*"; }

scripts/setup --ci

build="${TOVLINK_NATIVE_BUILD:-build}"
processes=4
cycles="${TOVLINK_SOAK_CYCLES:-50}"

stage "building tovlink-sim and tovlink_cycle_soak ($build)"
ci_configure -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target tovlink-sim tovlink_cycle_soak
sim="$build/sim/tovlink-sim"
soak="$build/tests/reliability/tovlink_cycle_soak"

work="$(mktemp -d)"
sim_pids=()
stop_sims() {
  local pid
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
# The robots' wire logs and the soak programs' output are kept in $build/soak
# when anything fails.
keep_logs() {
  stop_sims
  if [ "${failed:-1}" != 0 ]; then
    rm -rf "$build/soak" && cp -r "$work" "$build/soak" && echo "logs kept in $build/soak"
  fi
  rm -rf "$work"
}
trap keep_logs EXIT

# Starts one robot and adds its port to $ports once it is serving.  Not run
# in a subshell, so that its pid reaches $sim_pids and the robot is stopped.
start_sim() {
  local index=$1
  "$sim" --seed "$index" --log >"$work/sim$index.out" 2>"$work/sim$index.err" &
  sim_pids+=("$!")
  local tries
  for tries in $(seq 100); do
    [ -s "$work/sim$index.out" ] && break
    sleep 0.1
  done
  ports+=("$(head -n 1 "$work/sim$index.out")")
}

ports=()
for index in $(seq "$processes"); do
  start_sim "$index"
  [ -n "${ports[-1]}" ] || { echo "FAIL  robot $index did not start"; cat "$work/sim$index.err"; exit 1; }
done

stage "$processes processes x $cycles connect/end cycles"
soak_pids=()
for index in $(seq "$processes"); do
  "$soak" "${ports[$((index - 1))]}" "$cycles" >"$work/soak$index.out" 2>"$work/soak$index.err" &
  soak_pids+=("$!")
done
failed=0
for index in $(seq "$processes"); do
  if wait "${soak_pids[$((index - 1))]}"; then
    echo "PASS  soak $index: $(tail -n 1 "$work/soak$index.out")"
  else
    echo "FAIL  soak $index:"; cat "$work/soak$index.out"; tail -n 20 "$work/soak$index.err"
    failed=1
  fi
done

stage "valgrind memcheck: one short session"
if valgrind --quiet --error-exitcode=1 --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite "$soak" "${ports[0]}" 2 >"$work/valgrind.out" 2>"$work/valgrind.err"; then
  echo "PASS  valgrind: $(tail -n 1 "$work/valgrind.out"), no errors, nothing definitely lost"
else
  echo "FAIL  valgrind:"; cat "$work/valgrind.out"; grep -E '^==' "$work/valgrind.err" | head -60
  failed=1
fi
stage "done"
exit "$failed"

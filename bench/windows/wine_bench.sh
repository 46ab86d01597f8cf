#!/usr/bin/env bash
# What a connection costs a Windows program, under Wine, against the virtual
# robot (a telemetry exchange's time, then the CPU of an idle connection): a session (TovLinkCxx.dll, event-driven: an overlapped read
# posted, no wake-ups) beside the C API's connection (TovLinkLib.dll, its
# I/O thread's 1 ms passes).  Each figure is the program's own CPU time over
# the idle span (GetProcessTimes); Wine's server, which carries part of every
# system call a Windows program makes under Wine, is measured apart from
# /proc.  A measuring script, not a test.
#
#   bench/windows/wine_bench.sh [SECONDS]     (idle span, default 10)
#
# Expects the cross build in build-mingw and the virtual robot in build
# (TOVLINK_MINGW_BUILD and TOVLINK_NATIVE_BUILD name others); needs Wine.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${1:-10}"
mingw_build="${TOVLINK_MINGW_BUILD:-build-mingw}"
sim="${TOVLINK_NATIVE_BUILD:-build}/sim/tovlink-sim"
for needed in "$mingw_build/bench/windows/tovlink_connection_costs.exe" "$sim"; do
  [ -e "$needed" ] || { echo "wine_bench: $needed is missing" >&2; exit 1; }
done

work="$(mktemp -d /tmp/tovlink-wine-idle.XXXXXX)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree=;mshtml="
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
  timeout 30 wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$WINEPREFIX" "$work/run"
wineserver -p 300 >"$work/wineserver.log" 2>&1
timeout 180 wineboot -i >"$work/wineboot.log" 2>&1
cp "$mingw_build"/TovLinkLib/*.dll "$mingw_build/bench/windows/tovlink_connection_costs.exe" "$work/run/"

"$sim" >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
ln -s "$(head -n 1 "$work/sim.out")" "$WINEPREFIX/dosdevices/com7"

# This prefix's server (other Wine prefixes may have theirs running): it
# works in server-<device>-<inode of the prefix>, both in hex.
read -r prefix_device prefix_inode < <(stat -c '%d %i' "$WINEPREFIX")
server_dir="$(printf 'server-%x-%x' "$prefix_device" "$prefix_inode")"
server_cpu() { # utime + stime in clock ticks
  local pid
  for pid in $(pgrep -x 'wineserver(64)?' || true); do
    if [[ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" == */"$server_dir" ]]; then
      awk '{ split($0, a, ") "); split(a[2], f, " "); print f[12] + f[13] }' "/proc/$pid/stat"
      return
    fi
  done
  echo "wine_bench: this prefix's server was not found" >&2
  echo 0
}

echo "wine_bench: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), $(wine --version)"
for mode in session capi; do
  (cd "$work/run" && timeout $((seconds + 60)) wine tovlink_connection_costs.exe "$mode" COM7 "$seconds") |
    tr -d '\r' | while IFS= read -r line; do
      case "$line" in
      holding*)
        before="$(server_cpu)"
        started="$(date +%s.%N)"
        ;;
      *exchange*) echo "$line" ;;
      idle*)
        after="$(server_cpu)"
        echo "$line"
        awk -v b="$before" -v a="$after" -v t0="$started" -v t1="$(date +%s.%N)" \
          -v hz="$(getconf CLK_TCK)" \
          'BEGIN { printf "  Wine server over the same span: %.2f %% of one core\n", (a - b) / hz / (t1 - t0) * 100 }'
        ;;
      esac
    done
done

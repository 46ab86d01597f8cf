#!/usr/bin/env bash
# Windows: cross-builds TovLinkLib.dll (and the Windows test programs, and the
# tovlink tool when there is one) with mingw-w64, checks the DLL's export and
# import tables, then proves the DLL under Wine against the virtual robot:
# a throw-away Wine prefix maps COM7 onto the robot's pseudo-terminal, so the
# DLL's CreateFileA("\\.\COM7") opens a real tty.
#
# Expects the native build (default ./build, as .ci/run makes it) to hold
# sim/tovlink-sim; builds just that target when it is missing.
# TOVLINK_NATIVE_BUILD and TOVLINK_MINGW_BUILD name other build folders.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

started=$SECONDS
stage() { echo "-- [$((SECONDS - started)) s] $*"; }

scripts/setup --ci

native_build="${TOVLINK_NATIVE_BUILD:-build}"
mingw_build="${TOVLINK_MINGW_BUILD:-build-mingw}"
jobs="$(nproc)"

stage "cross build ($mingw_build)"
mkdir -p "$mingw_build"
ci_configure -S . -B "$mingw_build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release >"$mingw_build/configure.log" 2>&1 ||
  { cat "$mingw_build/configure.log"; exit 1; }
cmake --build "$mingw_build" -j"$jobs"

dll="$mingw_build/TovLinkLib/TovLinkLib.dll"
stage "export and import tables of $dll"
[ -f "$mingw_build/TovLinkLib/TovLinkLib.lib" ] || { echo "FAIL  no import library TovLinkLib.lib"; exit 1; }
bash tests/windows/check_exports.sh "$dll"

sim="$native_build/sim/tovlink-sim"
if [ ! -x "$sim" ]; then
  stage "building $sim"
  ci_configure -S . -B "$native_build" >/dev/null
  cmake --build "$native_build" -j"$jobs" --target tovlink-sim
fi

work="$(mktemp -d /tmp/tovlink-windows.XXXXXX)"
sim_pids=()
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko installer: nothing here needs them, and they would ask.
export WINEDLLOVERRIDES="mscoree=;mshtml="
cleanup() {
  for pid in "${sim_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -d "$WINEPREFIX" ]; then timeout 30 wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

stage "Wine prefix $WINEPREFIX"
# One server for the whole step, its own output apart: a robot that unplugs
# hangs up a terminal the server holds, and the hang-up signal makes Wine's
# server print its object table, which is noise here.
mkdir -p "$WINEPREFIX"
wineserver -p 300 >"$work/wineserver.log" 2>&1
timeout 180 wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }

# The Windows programs run from one folder, next to the DLL, as a host
# program ships with it.
run="$work/run"
mkdir -p "$run"
cp "$dll" "$mingw_build"/tests/windows/*.exe "$mingw_build"/examples/tovlink_example_sessions.exe "$run/"
tool="$mingw_build/tools/tovlink.exe"
[ -f "$tool" ] && cp "$tool" "$run/"
# The tool runs on the C++ interface, a DLL of its own.
cxx_dll="$mingw_build/TovLinkLib/TovLinkCxx.dll"
[ -f "$cxx_dll" ] && cp "$cxx_dll" "$run/"

# start_robot <name> <COM number> [sim options...]: a virtual robot of its
# own, logging to $work/<name>.log, that Wine opens as COM<number>.
start_robot() {
  local name="$1" number="$2"
  shift 2
  "$sim" --log "$@" >"$work/$name.log" 2>"$work/$name.err" &
  sim_pids+=($!)
  for _ in $(seq 100); do
    [ -s "$work/$name.log" ] && break
    sleep 0.1
  done
  local slave
  slave="$(head -n 1 "$work/$name.log")"
  [ -c "$slave" ] || { echo "FAIL  the virtual robot $name gave no tty: '$slave'"; cat "$work/$name.err"; exit 1; }
  # Wine opens "\\.\COM<n>" as whatever dosdevices/com<n> leads to: here the tty.
  ln -s "$slave" "$WINEPREFIX/dosdevices/com$number"
  echo "COM$number -> $slave ($name)"
}

stage "virtual robot"
start_robot sim 7

failed=0
run_windows() { # run_windows <name> <program and arguments...>: one Windows program under Wine
  local name="$1"
  shift
  echo "== $name"
  local status=0
  (cd "$run" && timeout 120 wine "$@" 2>"$work/$name.err") || status=$?
  [ "$status" -eq 0 ] && return 0
  echo "FAIL  $name (exit $status); its standard error:"
  cat "$work/$name.err"
  failed=1
}

stage "Wine host: exports, version, port names, a connection to the robot"
run_windows host tovlink_wine_host.exe COM7 COM9
stage "import library"
run_windows import tovlink_import_check.exe

# The host's motor commands as they reached the robot, byte for byte and in
# order (the log quotes them with \r written out).
stage "wire bytes at the robot"
grep -oE 'rx "#1[35][0-9],[^"]*"' "$work/sim.log" | sed 's/^rx //' >"$work/motor-lines" || true
cat >"$work/expected-motor-lines" <<'EOF'
"#132,0,120\r\r"
"#132,4,055\r\r"
"#137,1,000\r\r"
"#152,2,000,1200\r\r"
"#150,3,045,0250\r\r"
EOF
if diff -u "$work/expected-motor-lines" "$work/motor-lines"; then
  echo "ok    the robot received the motor commands exactly"
else
  echo "FAIL  motor command bytes at the robot differ (robot log below)"
  cat "$work/sim.log"
  failed=1
fi

# The C interface of sessions from TovLinkCxx.dll: two robots driven from two
# threads at once, a refusal and a time-out told with their names and sent
# flags, and an open on a port that never answers cancelled within 100 ms.
stage "C interface of sessions: COM8 and COM10 from two threads, a cancelled open on COM11"
bash tests/windows/check_session_exports.sh "$mingw_build/TovLinkLib/TovLinkCxx.dll"
start_robot plain 8
start_robot deaf 10 --ignore '#800'
start_robot silent 11 --silent
if run_windows sessions tovlink_example_sessions.exe COM8 COM10 COM11 >"$work/sessions.out"; then
  refused="led 7 failed (invalid_argument, sent 0): led 7 on: LED 7 does not exist (LEDs are 1-6)"
  cat >"$work/sessions.expected" <<EXPECTED
COM8: battery N, motor 2 to 55 (asked 10)
COM8: $refused
COM8: who: WHO,TovSim,VR-0001
COM10: battery N, motor 2 to 55 (asked 10)
COM10: $refused
COM10: who failed (receive_timeout, sent 1): query who: no complete reply from the robot within 1.5 s (the command was sent and may have acted)
COM11: open ended within 100 ms after the cancel request (cancelled)
EXPECTED
  if tr -d '\r' <"$work/sessions.out" | grep -v '^== ' | sed -E 's/battery [0-9]+,/battery N,/' |
    diff -u "$work/sessions.expected" -; then
    echo "ok    two sessions from two threads under Wine, and a cancelled open"
  else
    echo "FAIL  the sessions example's output under Wine differs"
    cat "$work/sessions.out"
    failed=1
  fi
fi

# Sessions wait on an overlapped port (transport/platform_win32_event_port.cpp):
# the device itself (an idle wait that stays asleep until interrupted,
# replies taken through the posted read, a reply in 3-byte chunks, a
# hang-up), and a session whose robot is unplugged, reported as link_lost
# without an exchange to notice it.  The two run side by side; each robot
# that unplugs is started just before, as its clock starts with it.
stage "sessions' overlapped port: COM12-COM14 driven directly, an unplugged session on COM15"
start_robot idle 12
start_robot split 13 --split
start_robot unplug 14 --unplug-after 7
start_robot session-unplug 15 --unplug-after 9
run_windows link tovlink_session_link_check.exe COM15 >"$work/link.out" &
link_check=$!
run_windows event-port tovlink_event_port_check.exe COM12 COM13 COM14
link_status=0
wait "$link_check" || link_status=$?
cat "$work/link.out"
if [ "$link_status" -ne 0 ] || ! grep -q '^0 failed' "$work/link.out"; then
  echo "FAIL  the unplugged session's check"
  failed=1
fi

if [ -f "$run/tovlink.exe" ]; then
  # The robot keeps its state between connections: motor 1 stays where the
  # host put it, 120.  (Text-mode output: lines end in "\r\n".)
  stage "tovlink.exe --port COM7 status"
  if (cd "$run" && timeout 120 wine tovlink.exe --port COM7 status >"$work/tool.out" 2>"$work/tool.err") &&
    tr -d '\r' <"$work/tool.out" | grep -Eq '^motor 1 position[[:space:]]+120$'; then
    cat "$work/tool.out"
    echo "ok    tovlink.exe status under Wine reads motor 1 at 120"
  else
    echo "FAIL  tovlink.exe status under Wine"
    cat "$work/tool.out" "$work/tool.err"
    failed=1
  fi
else
  echo "-- no tools/ target tovlink in the cross build: tovlink.exe not run"
fi

stage "done"
if [ "$failed" -ne 0 ]; then
  echo "Windows step failed"
  exit 1
fi
echo "Windows step passed"

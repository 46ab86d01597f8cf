#!/usr/bin/env bash
# Installed as a lab would: the Debian packages built with CPack, checked
# with lintian (no error, no warning that the packages' lintian overrides,
# packaging/debian/*.lintian-overrides, do not explain), installed with apt-get; the installed tovlinkd started
# from the installed configuration with a virtual robot named in it and
# driven with the installed tovlink; the units through systemd-analyze
# verify; the udev rule run by udevadm test on a spare console given a link
# adapter's properties; a reinstall keeps an edited conffile, removal keeps
# it, purge leaves nothing behind.  Then `pip install ./python` into a fresh
# virtual environment, without a package index, drives a virtual robot with
# no Debian package of ours installed.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

started=$SECONDS
stage() { echo "-- [$((SECONDS - started)) s] $*"; }
fail() { echo "FAIL  $*"; exit 1; }
export DEBIAN_FRONTEND=noninteractive

if [ "$(id -u)" -ne 0 ]; then
  echo "-- not root: this step installs Debian packages; skipped"
  exit 0
fi

build="build-deb"
work="$(mktemp -d /tmp/tovlink-packages.XXXXXX)"
packages=(libtovlinklib1 libtovlinklib-dev tovlink tovlinkd)
udev_probe=/etc/udev/rules.d/69-tovlink-ci-probe.rules
daemon_pid=""
sim_pid=""
cleanup() {
  [ -z "$daemon_pid" ] || kill "$daemon_pid" 2>/dev/null || true
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  rm -f "$udev_probe"
  local installed=()
  for name in "${packages[@]}"; do
    dpkg-query -W -f='${db:Status-Status}' "$name" 2>/dev/null | grep -q . && installed+=("$name")
  done
  [ "${#installed[@]}" -eq 0 ] || dpkg --purge "${installed[@]}" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Every file and folder where a package could leave something, for the
# check after purge (dpkg's and apt's own records aside).
snapshot() {
  local places=(/etc /usr /lib /opt /var/lib)
  [ -e /run/tovlink ] && places+=(/run/tovlink)
  find "${places[@]}" -xdev \
    \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/lib/ucf \
       -o -path /var/lib/systemd/deb-systemd-helper-masked -o -path /var/cache \
       -o -path '/usr/lib/python3*/__pycache__' -o -name '*.pyc' \) -prune -o -print \
    2>/dev/null | sort
}

# --- Build and lint ------------------------------------------------------------------
stage "building the packages in $build (prefix /usr)"
rm -rf "$build/packages"
ci_configure -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF >"$work/configure.log" ||
  { cat "$work/configure.log"; fail "configuring $build"; }
cmake --build "$build" -j"$(nproc)" --target package >"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log"; fail "building the packages"; }
debs=()
for name in "${packages[@]}"; do
  deb=("$build"/packages/"${name}"_*.deb)
  [ -e "${deb[0]}" ] || fail "no package $name in $build/packages"
  debs+=("./${deb[0]}")
done
stage "built: ${debs[*]}"
for deb in "${debs[@]}"; do
  dpkg-deb --field "$deb" Package Version Depends | sed 's/^/      /'
done
lintian --fail-on error,warning --info "${debs[@]}" ||
  fail "lintian reported errors or warnings that no override explains"
stage "lintian: no error, no unexplained warning"

# --- Install and run ------------------------------------------------------------------
for name in "${packages[@]}"; do
  if dpkg-query -W "$name" >/dev/null 2>&1; then apt-get purge -y -qq "$name" >/dev/null; fi
done
user_before="$(getent passwd tovlink || true)"
snapshot >"$work/before"
apt-get install -y -qq "${debs[@]}" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "apt-get install"; }
stage "installed with apt-get"
getent passwd tovlink >/dev/null || fail "no tovlink user after install"
getent group tovlink >/dev/null || fail "no tovlink group after install"
conffile=/etc/tovlink/tovlinkd.conf
dpkg-query -W -f='${Conffiles}\n' tovlinkd | grep -q " $conffile " ||
  fail "$conffile is not a conffile of tovlinkd"
for motion in wave nod bow; do
  dpkg -L tovlinkd | grep -qx "/usr/share/tovlink/motions/$motion.json" ||
    fail "tovlinkd does not carry the shipped motion $motion"
done

systemd-analyze verify /lib/systemd/system/tovlinkd.socket /lib/systemd/system/tovlinkd.service ||
  fail "systemd-analyze verify refused the units"
stage "systemd-analyze verify accepts tovlinkd.socket and tovlinkd.service"

# As installed, the configuration names no robot: the daemon says so.
if /usr/sbin/tovlinkd --check-config >"$work/check.log" 2>&1; then
  fail "the installed configuration, which names no robot, was accepted"
fi
grep -q "no robots" "$work/check.log" || { cat "$work/check.log"; fail "no robots not reported"; }
# What an administrator does: name a robot (here a virtual one) and the
# socket, check, start.
sed -i -e 's/^#sim = .*/sim = ["arm"]/' -e 's|^#socket = .*|socket = "/run/tovlink/tovlinkd.sock"|' \
  "$conffile"
/usr/sbin/tovlinkd --check-config || fail "tovlinkd --check-config on the edited configuration"
install -d -m 0750 -o tovlink -g tovlink /run/tovlink
setpriv --reuid=tovlink --regid=tovlink --init-groups /usr/sbin/tovlinkd --config "$conffile" \
  2>"$work/daemon.log" &
daemon_pid=$!
ready=""
for _ in $(seq 1 100); do
  if /usr/bin/tovlink --json devices 2>/dev/null | grep -q '"state":"ready"'; then ready=1; break; fi
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.2
done
[ -n "$ready" ] || { cat "$work/daemon.log"; fail "the installed tovlinkd's robot never became ready"; }
/usr/bin/tovlink status | tee "$work/status.log"
grep -qi battery "$work/status.log" || fail "tovlink status printed no battery"
/usr/bin/tovlink move 2 100 >/dev/null || fail "tovlink move through the service"
kill -TERM "$daemon_pid"
wait "$daemon_pid" || { cat "$work/daemon.log"; fail "tovlinkd did not end cleanly"; }
daemon_pid=""
rm -rf /run/tovlink
stage "the installed tovlinkd ran from $conffile as user tovlink; /usr/bin/tovlink drove it"

# --- The udev rule --------------------------------------------------------------------
# No link adapter here: a rule read just before ours gives a virtual console
# that nothing uses an adapter's USB properties, and udevadm test runs the
# rules on it.  udevadm test applies what the rules say (the link, the group
# and mode), so the console's owner and mode are put back after, and the link
# removed.
tty=tty63
device=/sys/class/tty/$tty
if [ -e "$device" ] && [ -e "/dev/$tty" ]; then
  tty_mode="$(stat -c '%a %u %g' "/dev/$tty")"
  restore_tty() {
    read -r mode uid gid <<<"$tty_mode"
    chown "$uid:$gid" "/dev/$tty" && chmod "$mode" "/dev/$tty"
    rm -f /dev/tovlink/CI0042
    rmdir /dev/tovlink 2>/dev/null || true
  }
  printf '%s\n' "KERNEL==\"$tty\", ENV{ID_BUS}=\"usb\", ENV{ID_VENDOR_ID}=\"0403\", ENV{ID_MODEL_ID}=\"6001\", ENV{ID_SERIAL_SHORT}=\"CI0042\"" >"$udev_probe"
  udevadm test --action=add "$device" >"$work/udev.log" 2>&1 || true
  rm -f "$udev_probe"
  restore_tty
  tovlink_gid="$(getent group tovlink | cut -d: -f3)"
  if grep -E "70-tovlink.rules.*(Invalid|invalid|error|Error)" "$work/udev.log"; then
    fail "udev reported errors in 70-tovlink.rules"
  fi
  grep -q "^DEVLINKS=.*/dev/tovlink/CI0042" "$work/udev.log" ||
    { grep -E "tovlink|DEVLINKS" "$work/udev.log"; fail "udevadm test: no /dev/tovlink/CI0042 link"; }
  grep -Eq "70-tovlink.rules:[0-9]+ GROUP $tovlink_gid\$" "$work/udev.log" ||
    { grep -E "tovlink" "$work/udev.log"; fail "udevadm test: group tovlink ($tovlink_gid) not set"; }
  grep -Eq "70-tovlink.rules:[0-9]+ MODE 0660\$" "$work/udev.log" ||
    { grep -E "tovlink" "$work/udev.log"; fail "udevadm test: mode 0660 not set"; }
  # An adapter on a bridge the rule does not know gets nothing.
  printf '%s\n' "KERNEL==\"$tty\", ENV{ID_BUS}=\"usb\", ENV{ID_VENDOR_ID}=\"0403\", ENV{ID_MODEL_ID}=\"ffff\", ENV{ID_SERIAL_SHORT}=\"CI0043\"" >"$udev_probe"
  udevadm test --action=add "$device" >"$work/udev-other.log" 2>&1 || true
  rm -f "$udev_probe"
  restore_tty
  if grep -q "tovlink/CI0043" "$work/udev-other.log"; then
    fail "udevadm test: a device on an unknown bridge got a /dev/tovlink link"
  fi
  stage "udevadm test: an adapter (0403:6001, serial CI0042) gets /dev/tovlink/CI0042, group tovlink, mode 0660; 0403:ffff gets nothing"
else
  echo "-- no $device here: the udev rule is not tested"
fi

# --- Reinstall, remove, purge ------------------------------------------------------------
apt-get install -y -qq --reinstall "${debs[@]}" >/dev/null 2>&1 || fail "reinstall"
grep -q '^sim = \["arm"\]' "$conffile" || fail "the reinstall did not keep the edited $conffile"
apt-get remove -y -qq "${packages[@]}" >/dev/null
[ -f "$conffile" ] || fail "removal did not keep $conffile"
grep -q '^sim = \["arm"\]' "$conffile" || fail "removal changed $conffile"
stage "a reinstall and a removal keep the edited $conffile"
# Removal leaves the packages with a conffile or a postrm to purge (tovlinkd,
# libtovlinklib1); the others are gone already.
left=()
for name in "${packages[@]}"; do
  dpkg-query -W -f='${db:Status-Status}' "$name" 2>/dev/null | grep -qx config-files && left+=("$name")
done
[[ " ${left[*]} " == *" tovlinkd "* ]] || fail "tovlinkd was not left to purge after removal"
apt-get purge -y -qq "${left[@]}" >/dev/null
snapshot >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/left"; then
  cat "$work/left"
  fail "purge left the files above behind"
fi
getent passwd tovlink >/dev/null || fail "purge removed the tovlink user (it is kept)"
[ -n "$user_before" ] || echo "-- the tovlink user made by the package is kept, as intended"
stage "purge left no file behind; the tovlink user and group are kept"

# --- The Python package -----------------------------------------------------------------
python=/usr/bin/python3
[ -x "$python" ] || python="$(command -v python3)"
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index ./python >"$work/pip.log" 2>&1 ||
  { tail -n 40 "$work/pip.log"; fail "pip install ./python in a fresh virtual environment"; }
stage "pip install --no-index ./python built and installed the package"
"$build/sim/tovlink-sim" --link "$work/robot" >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 50); do [ -e "$work/robot" ] && break; sleep 0.1; done
(cd "$work" && env -u LD_LIBRARY_PATH -u PYTHONPATH "$work/venv/bin/python" -c '
import os, sys, tovlink
with tovlink.Robot(sys.argv[1]) as robot:
    move = robot.move(2, 100)
    positions = robot.telemetry().positions
library = tovlink.find_library()
assert library.startswith(sys.prefix), library
assert positions[1] == 100, positions
print("python: robot moved,", move, "- library", library)
' "$work/robot") || fail "the venv's tovlink did not drive the virtual robot"
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
stage "done"

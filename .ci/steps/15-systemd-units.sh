#!/usr/bin/env bash
# The daemon's systemd units pass `systemd-analyze verify` (systemd package,
# installed by scripts/setup --ci): the units as cmake --install writes them,
# with the daemon's path filled in (here a program that exists, as verify
# checks ExecStart=).
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "FAIL  systemd-analyze is missing (scripts/setup --ci installs the systemd package)"
  exit 1
fi
units="$(mktemp -d)"
trap 'rm -rf "$units"' EXIT
for unit in tovlinkd.service tovlinkd.socket; do
  sed "s|@TOVLINKD_PATH@|/bin/true|g" "service/systemd/$unit.in" >"$units/$unit"
done
# verify exits 0 on mere warnings (an unknown key is ignored): any line it
# prints counts as a failure.
if systemd-analyze verify --man=no "$units/tovlinkd.socket" "$units/tovlinkd.service" \
  >"$units/verify.log" 2>&1 && [ ! -s "$units/verify.log" ]; then
  echo "ok    tovlinkd.socket and tovlinkd.service verified"
else
  cat "$units/verify.log"
  echo "FAIL  systemd-analyze verify"
  exit 1
fi
# A restart of the service must leave the socket's directory alone.
if grep -q '^RuntimeDirectory=' "$units/tovlinkd.service"; then
  echo "FAIL  tovlinkd.service has RuntimeDirectory=: stopping it would remove the socket"
  exit 1
fi
echo "ok    the socket's directory is the socket unit's"

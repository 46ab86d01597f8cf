#!/usr/bin/env bash
# Checks that TovLinkCxx.dll exports every function of <tovlink/session.h>
# under its plain name, and no C name that the header does not declare.
# Usage: check_session_exports.sh <path to TovLinkCxx.dll>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
objdump="${OBJDUMP:-x86_64-w64-mingw32-objdump}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$objdump" -p "$1" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p' | grep -E '^tovlink_' |
  LC_ALL=C sort >"$work/exported"
grep -oE '^TOVLINK_SESSION_API [^(]*\(' "$root/TovLinkLib/include/tovlink/session.h" |
  sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' | LC_ALL=C sort >"$work/declared"
if diff -u "$work/declared" "$work/exported"; then
  echo "ok    $(basename "$1") exports the $(wc -l <"$work/declared") functions of tovlink/session.h"
else
  echo "FAIL  $(basename "$1")'s C exports differ from tovlink/session.h"
  exit 1
fi

#!/usr/bin/env bash
# Checks TovLinkLib.dll's tables with objdump -p:
#  - the export table holds exactly the names in expected_exports.txt (the
#    functions of tovlink.h, two under decorated names), nothing by ordinal
#    only, under the module name TovLinkLib.dll;
#  - expected_exports.txt agrees with the functions tovlink.h declares, so a
#    function added to the header cannot be forgotten in the .def file;
#  - the DLL imports only DLLs that come with Windows (the C++ runtime and
#    winpthreads are linked in).
# Usage: check_exports.sh <path to TovLinkLib.dll>
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
dll="$1"
objdump="${OBJDUMP:-x86_64-w64-mingw32-objdump}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

check() { # check <description> <command...>
  local what="$1"
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok    $what"
  else
    failed=$((failed + 1))
    echo "FAIL  $what"
  fi
}

same_lists() { # same_lists <expected file> <actual file>
  diff -u "$1" "$2" >"$work/diff" || {
    cat "$work/diff"
    return 1
  }
}

[ "$(basename "$dll")" = "TovLinkLib.dll" ] || {
  echo "FAIL  the DLL must be named TovLinkLib.dll, not $(basename "$dll")"
  exit 1
}
"$objdump" -p "$dll" >"$work/headers"

# Export table: the names of the "[Ordinal/Name Pointer] Table" section.
sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' "$work/headers" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p' | LC_ALL=C sort >"$work/exported"
LC_ALL=C sort "$here/expected_exports.txt" >"$work/expected"
check "the export table holds exactly the $(wc -l <"$work/expected") expected names" \
  same_lists "$work/expected" "$work/exported"

address_entries="$(sed -n 's/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]\{8\}\)$/\1/p' "$work/headers")"
check "no export by ordinal only (address table entries: 0x${address_entries:-none})" \
  test "$((16#${address_entries:-0}))" -eq "$(wc -l <"$work/expected")"
check "the export table names the module TovLinkLib.dll" \
  grep -Eq '^Name[[:space:]]+[0-9a-fA-F]+ TovLinkLib\.dll$' "$work/headers"

# The header's functions, with the two that Windows exports under decorated
# names replaced by those names.
grep -oE '^TOVLINK_API [^(]*\(' "$root/TovLinkLib/include/tovlink.h" |
  sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\($/\1/' |
  sed -e 's/^tovlink_motor_set_pos_rel$/?tovlink_motor_set_pos_rel@@YAIPEAKHH@Z/' \
    -e 's/^tovlink_motor_angle_time_rel$/?tovlink_motor_angle_time_rel@@YAIPEAKHHH@Z/' |
  LC_ALL=C sort >"$work/declared"
check "tovlink.h declares exactly the expected functions" same_lists "$work/expected" "$work/declared"

# Imports: system DLLs only.
sed -n 's/^[[:space:]]*DLL Name: //p' "$work/headers" >"$work/imports"
echo "imports: $(tr '\n' ' ' <"$work/imports")"
check "the DLL imports something (the table was read)" test -s "$work/imports"
check "only system DLLs are imported" \
  bash -c '! grep -Eiv "^(kernel32|msvcrt|ucrtbase|version|winmm|api-ms-win-[a-z0-9-]+)\.dll$" "$1"' _ "$work/imports"

echo "export check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Fresh machine: the README's first command, in a new clone on a machine that
# lacks the project's own packages, installs them (scripts/setup), builds,
# and ends with the finished demo.
#
# It removes the packages of scripts/setup that a new machine does not have
# (apt-get remove), with the library packages they alone pulled in, leaving
# alone:
#   - whatever the new machine image has, and anything whose removal would take
#     along a package outside this set;
#   - the browser and its driver (slow to put back), the MQTT broker (a
#     service), and ccache (it keeps this step quick: the clone sits inside
#     the checkout, so ccache returns the objects of the README build before).
# Whatever it removed is installed again when it ends, passed or failed.
#
# The new machine's packages are read from $TOVLINK_IMAGE_PACKAGES (default:
# the workplace's list for this kind of machine); without that list, the
# packages below that such a machine is known to have stand in for it.
# --dry-run prints what it would remove, and stops there.
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

started=$SECONDS
stage() { echo "-- [$((SECONDS - started)) s] $*"; }

image_list="${TOVLINK_IMAGE_PACKAGES:-/work/.library/env/packages/installed-cpp.txt}"
image_has_known=(build-essential cmake g++ python3 python3-venv python3-setuptools python3-wheel procps
  googletest clang valgrind)
keep=(chromium chromium-driver python3-selenium mosquitto mosquitto-clients ccache)
export DEBIAN_FRONTEND=noninteractive

if [ "$(id -u)" -ne 0 ]; then
  echo "-- not root: this step removes and installs Debian packages; skipped"
  exit 0
fi

# --- What a new machine has --------------------------------------------------
declare -A on_image=()
if [ -r "$image_list" ]; then
  while IFS=$'\t' read -r kind name _; do
    if [ "$kind" = apt ]; then on_image[$name]=1; fi
  done <"$image_list"
  stage "new machine image: ${#on_image[@]} packages ($image_list)"
else
  for name in "${image_has_known[@]}"; do on_image[$name]=1; done
  stage "no image package list at $image_list: taking ${image_has_known[*]} as the image's"
fi
declare -A kept=()
for name in "${keep[@]}"; do kept[$name]=1; done

# Prints the packages that `apt-get remove "$@"` (with its options) would remove.
would_remove() {
  apt-get -s remove "$@" 2>/dev/null | awk '$1 == "Remv" { print $2 }'
}
installed() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed; }

# --- What to remove -------------------------------------------------------------
candidates=()
while read -r name; do
  if [ -z "${on_image[$name]:-}" ] && [ -z "${kept[$name]:-}" ] && installed "$name"; then
    candidates+=("$name")
  fi
done < <(scripts/setup --list)
declare -A in_candidates=()
for name in "${candidates[@]}"; do in_candidates[$name]=1; done

# A candidate whose removal would take along anything else is left alone.
chosen=()
for name in "${candidates[@]}"; do
  spare=""
  while read -r other; do
    [ -n "${in_candidates[$other]:-}" ] || spare+=" $other"
  done < <(would_remove "$name")
  if [ -n "$spare" ]; then
    echo "-- leaving $name: removing it would also remove$spare"
  else
    chosen+=("$name")
  fi
done
if [ "${#chosen[@]}" -eq 0 ]; then
  echo "FAIL  nothing of scripts/setup's list to remove: this step would prove nothing"
  exit 1
fi

# Packages only they pulled in (libboost-dev brings the headers of one Boost
# version, for one): those apt-get would now remove as no longer needed, less
# what was already so, less what the image has.
declare -A orphan_before=()
while read -r name; do orphan_before[$name]=1; done < <(apt-get -s autoremove 2>/dev/null | awk '$1 == "Remv" { print $2 }')
removal=("${chosen[@]}")
while read -r name; do
  [ -n "${in_candidates[$name]:-}" ] && continue
  [ -n "${orphan_before[$name]:-}" ] && continue
  [ -n "${on_image[$name]:-}" ] && continue
  removal+=("$name")
done < <(would_remove --auto-remove "${chosen[@]}")
readarray -t auto_marked < <(apt-mark showauto "${removal[@]}" 2>/dev/null)
if [ "${1:-}" = --dry-run ]; then
  echo "would remove: ${removal[*]}"
  exit 0
fi

# --- Putting them back, however the step ends -----------------------------------
work="build-fresh"
failed=1
restore() {
  local missing=() name
  for name in "${removal[@]}"; do installed "$name" || missing+=("$name"); done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "-- installing again what the README's command did not: ${missing[*]}"
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  # Packages that came in as dependencies stay marked so.
  [ "${#auto_marked[@]}" -eq 0 ] || apt-mark auto "${auto_marked[@]}" >/dev/null
  if [ "$failed" -eq 0 ]; then rm -rf "$work"; else echo "-- the clone and its log are kept in $work"; fi
}
trap restore EXIT

stage "removing: ${removal[*]}"
apt-get remove -y -qq "${removal[@]}" >/dev/null
for name in "${removal[@]}"; do
  if installed "$name"; then echo "FAIL  $name is still installed"; exit 1; fi
done

# --- The README's first command, in a new clone ---------------------------------
rm -rf "$work"
mkdir -p "$work"
git clone --quiet . "$work/clone"
stage "new clone of $(git -C "$work/clone" log -1 --format='%h %s')"
seed_build_options "$work/clone/build"
readarray -t readme < <(cd "$work/clone" && readme_commands)
(cd "$work/clone" && run_readme_demo "${readme[0]}") 2>&1 | tee "$work/readme.log" |
  grep -E '^(\$ |scripts/setup|ok |FAIL |demo finished|\[100%\] Built target|CMake Error)' || true
if [ "$(tail -n 1 "$work/readme.log")" != "ok    the README's first command ends with the finished demo" ]; then
  echo "FAIL  the README's first command on a fresh machine; its last lines:"
  tail -n 40 "$work/readme.log"
  exit 1
fi

# Its scripts/setup must have put back everything removed.
not_back=()
for name in "${chosen[@]}"; do installed "$name" || not_back+=("$name"); done
if [ "${#not_back[@]}" -gt 0 ]; then
  echo "FAIL  scripts/setup did not install again: ${not_back[*]}"
  exit 1
fi
failed=0
stage "done: the README's first command set up the machine, built, and ran the demo"

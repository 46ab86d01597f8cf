#!/usr/bin/env bash
# Build types: the optimised builds a user or a package makes build cleanly
# with g++ and warnings as errors (-O3 and -Os warn about things -O2 does not):
#   - Release, everything with the tests (built, not run: the README's command
#     and the sanitizer builds run them);
#   - MinSizeRel, everything with the tests;
#   - MinSizeRel with -DBUILD_TESTING=OFF and GoogleTest made unfindable: the
#     library, the programs and the examples build without it (ccache gives
#     back the objects of the build before, so this one mostly links).
#
# TOVLINK_BUILD_TYPES_PREFIX names other build folders (default build-).
set -euo pipefail
cd "$(dirname "$0")/../.."
source .ci/lib.sh

started=$SECONDS
stage() { echo "-- [$((SECONDS - started)) s] $*"; }

scripts/setup
prefix="${TOVLINK_BUILD_TYPES_PREFIX:-build-}"
jobs="$(nproc)"

# build_type <folder> <cmake arguments...>: configures (quietly, unless it
# fails) and builds one folder.
build_type() {
  local build="$1"
  shift
  mkdir -p "$build"
  ci_configure -S . -B "$build" "$@" >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; return 1; }
  cmake --build "$build" -j"$jobs"
}

stage "Release (${prefix}release)"
build_type "${prefix}release" -DCMAKE_BUILD_TYPE=Release
stage "MinSizeRel (${prefix}minsizerel)"
build_type "${prefix}minsizerel" -DCMAKE_BUILD_TYPE=MinSizeRel

no_tests="${prefix}no-tests"
stage "MinSizeRel with -DBUILD_TESTING=OFF, without GoogleTest ($no_tests)"
build_type "$no_tests" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
# Nothing in that build may name GoogleTest, and it has no tests.
if grep -rlE 'gtest|gmock' --include=link.txt --include=flags.make "$no_tests" | head -5 | grep .; then
  echo "FAIL  the build without tests still uses GoogleTest (files above)"
  exit 1
fi
if [ -e "$no_tests/tests" ]; then
  echo "FAIL  the build without tests has a tests folder"
  exit 1
fi
for program in TovLinkLib/libTovLinkLib.so tools/tovlink sim/tovlink-sim; do
  [ -e "$no_tests/$program" ] || { echo "FAIL  $no_tests/$program was not built"; exit 1; }
done
echo "ok    library, programs and examples built without GoogleTest"
stage "done"

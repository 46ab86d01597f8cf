# Helpers shared by .ci/run and the scripts in .ci/steps; sourced from the
# checkout's top folder.  What to install lives in scripts/setup alone.

# ccache hashes paths under the checkout relative to it, and not the build
# folder's own path, so a clone inside the checkout (the fresh-machine step's)
# reuses what the first build compiled.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
export CCACHE_NOHASHDIR=1

# Prints the CMake options of every CI build of the project, one a line:
# warnings are errors, and ccache, when installed, keeps rebuilds quick.
ci_cmake_options() {
  echo "-DTOVLINK_WARNINGS_AS_ERRORS:BOOL=ON"
  if command -v ccache >/dev/null 2>&1; then
    echo "-DCMAKE_C_COMPILER_LAUNCHER:STRING=ccache"
    echo "-DCMAKE_CXX_COMPILER_LAUNCHER:STRING=ccache"
  fi
}

# ci_configure <cmake arguments...>: configures a build with the CI options.
ci_configure() {
  local options
  readarray -t options < <(ci_cmake_options)
  cmake "$@" "${options[@]}"
}

# seed_build_options <build folder>: puts the CI options into a build folder's
# cache, so that the README's plain `cmake -S . -B build` configures with them
# and its commands run exactly as the README writes them.  A folder not
# configured yet gets them as an initial cache (what `cmake -C` would load):
# configuring there may need packages that scripts/setup has not installed yet.
seed_build_options() {
  local build="$1"
  if [ -e "$build/CMakeCache.txt" ]; then
    # CMake keeps -D values in the cache even when the configure fails; the
    # README's command shows any failure.
    ci_configure -S . -B "$build" >/dev/null 2>&1 || true
    return 0
  fi
  mkdir -p "$build"
  {
    echo "# CI options, written before the first configure by .ci/lib.sh"
    ci_cmake_options | sed 's/^-D//'
  } >"$build/CMakeCache.txt"
}

# Prints the README's two commands: the first two lines of its first sh block
# (the demo against the virtual robot; the whole test suite).
readme_commands() {
  awk '/^```sh$/ { inside = 1; next } inside && /^```/ { exit } inside' README.md | head -n 2
}

# run_readme_demo <command>: runs the README's first command from the current
# folder and checks that its output ends with the finished demo.
run_readme_demo() {
  local log
  log="$(mktemp)"
  echo "\$ $1"
  bash -c "$1" | tee "$log"
  local last
  last="$(tail -n 1 "$log")"
  rm -f "$log"
  if [ "$last" != "demo finished" ]; then
    echo "FAIL  the README's first command did not end with 'demo finished' (last line: '$last')"
    return 1
  fi
  echo "ok    the README's first command ends with the finished demo"
}

# Helpers shared by .ci/run and the scripts in .ci/steps.

# Installs the named Debian packages that are not installed yet; runs
# apt-get only when something is missing.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "${TOVLINK_APT_UPDATED:-}" ]; then
    apt-get update -qq
    export TOVLINK_APT_UPDATED=1
  fi
  apt-get install -y -qq "${missing[@]}"
}

# Shared by the test scripts: installing Debian packages, and the summary of what was tested.

# Installs whichever of these Debian packages are missing. Fails, saying why, if it cannot:
# installing needs root.
install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "Installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Need root to install ${missing[*]}." >&2
    return 1
  fi
  apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
}

# Records one line of the summary scripts/test prints at its end: a platform, and what passed
# or was skipped there.
report() {
  mkdir -p build
  printf "%-18s %s\n" "$1" "$2" | tee -a build/summary
}

# Runs a command and shows its output only if it fails: for builds, whose warnings from other
# people's code (GoogleTest's, linked statically) are not ours to read.
quietly() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}

# The version of this source tree, as its CMakeLists.txt gives it: 1.31.0, say.
skrivel_version() {
  sed -n 's/^project(skrivel VERSION \([0-9.]*\).*/\1/p' "$(dirname "${BASH_SOURCE[0]}")/../CMakeLists.txt"
}

# Installs the Debian packages given that are missing, as root; a normal user is told which
# are missing and how to install them. The output goes to the log file given.
#   install_missing_packages LOG PACKAGE...
install_missing_packages() {
  local log=$1 missing=() p
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  local name
  name="script/$(basename "$0")"
  if [ "$(id -u)" -ne 0 ]; then
    cat >&2 <<TXT
$name: ${#missing[@]} Debian packages that building and testing need are missing:
  ${missing[*]}
Installing them needs root; the build does not. Install them with
  sudo apt-get install --no-install-recommends ${missing[*]}
and run $name again.
TXT
    exit 1
  fi
  echo "$name: installing ${#missing[@]} Debian packages (log: $log)"
  # One install at a time (CI builds for Windows while other steps install theirs); the lists
  # folder is root's and always there.
  if ! flock /var/lib/apt/lists sh -c 'apt-get update &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"' \
    sh "${missing[@]}" >>"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "$name: installing the packages failed; the whole output is in $log" >&2
    exit 1
  fi
}

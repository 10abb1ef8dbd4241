# Unpacks a Debian source package into a folder, through a source list of our own: the
# system's apt configuration is not touched. An empty VERSION takes the newest the archive
# holds. Output goes to the log; returns non-zero on failure after saying which step failed.
#   fetch_debian_source WORK_FOLDER PACKAGE VERSION SOURCE_FOLDER LOG
fetch_debian_source() {
  local work=$1 package=$2 version=$3 source_dir=$4 log=$5
  [ -d "$source_dir" ] && return 0
  local apt_dir="$work/apt"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
  printf '%s\n' "deb-src http://deb.debian.org/debian bookworm main" \
    "deb-src http://deb.debian.org/debian bookworm-updates main" \
    "deb-src http://security.debian.org/debian-security bookworm-security main" \
    >"$apt_dir/sources.list"
  local apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=/dev/null" -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache::Archives=$apt_dir/archives" -o "Debug::NoLocking=1")
  echo "script/$(basename "$0"): fetching Debian's $package ${version:-(newest)} source"
  apt-get "${apt_options[@]}" update >>"$log" 2>&1 ||
    { echo "reading the source list failed" >&2; return 1; }
  # Newest first: a mirror may list a version whose files it does not (yet) hold.
  local versions=("$version")
  if [ -z "$version" ]; then
    mapfile -t versions < <(apt-cache "${apt_options[@]}" showsrc "$package" 2>>"$log" |
      sed -n 's/^Version: //p' | sort -u -r -V)
  fi
  local candidate fetched=
  for candidate in "${versions[@]}"; do
    rm -rf "$work/download" && mkdir -p "$work/download"
    if (cd "$work/download" && apt-get "${apt_options[@]}" source --download-only \
      "$package=$candidate") >>"$log" 2>&1; then
      fetched=$candidate
      break
    fi
  done
  [ -n "$fetched" ] || { echo "downloading the source failed" >&2; return 1; }
  (cd "$work/download" && dpkg-source --no-check -x ./*.dsc "$source_dir.tmp") >>"$log" 2>&1 ||
    { echo "unpacking the source failed" >&2; return 1; }
  mv "$source_dir.tmp" "$source_dir"
}

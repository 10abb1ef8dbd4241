# What every script that builds into this clone checks first, and where system tools are.

# A script run as root (sudo) in a clone another user owns would leave files of root's in
# their build that their own next run cannot replace, and the program run as root refuses
# components from a folder a user can change. A user's run in a build root wrote into fails
# on the first file it cannot replace. Both stop before anything is written, naming the fix.
check_tree_owner() {
  local me owner tree build name
  tree=$(cd "$(dirname "$0")/.." && pwd -P)
  build=${KESTRUNE_BUILD_DIR:-build}
  name="script/$(basename "$0")"
  me=$(id -u)
  owner=$(stat -c %u "$tree")
  if [ "$me" -eq 0 ] && [ "$owner" -ne 0 ]; then
    echo "$name: this clone belongs to $(id -nu "$owner" 2>/dev/null || echo "uid $owner"); run $name as that user (it needs no root), or as root in a clone root owns (such as /root/kestrune)" >&2
    exit 1
  fi
  # Through sudo (pkexec, doas), the program loads components only from folders that root
  # alone can change, along the whole path.
  if [ "$me" -eq 0 ] && [ -n "${SUDO_UID:-}${PKEXEC_UID:-}${DOAS_USER:-}" ]; then
    local dir uid mode
    dir=$tree
    while :; do
      read -r uid mode < <(stat -c '%u %a' "$dir")
      if [ "$uid" -ne 0 ] || { ((8#$mode & 8#022)) && ! ((8#$mode & 8#1000)); }; then
        echo "$name: run through sudo, the program loads nothing from this clone: $dir is not root's alone; run $name as yourself (it needs no root), or as root in a clone below folders only root can change (such as /root)" >&2
        exit 1
      fi
      [ "$dir" = / ] && break
      dir=$(dirname "$dir")
    done
  fi
  if [ "$me" -ne 0 ] && [ -d "$tree/$build" ]; then
    local foreign
    foreign=$(cd "$tree" && find "$build" ! -user "$me" -print -quit 2>/dev/null)
    if [ -n "$foreign" ]; then
      echo "$name: $foreign and maybe more in $build/ are not yours (an earlier run as root?); take them back with: sudo chown -R $(id -nu):$(id -gn) $build" >&2
      exit 1
    fi
  fi
}

# Where Debian puts a system tool (mkfs.fat, losetup, blkid, ...): on PATH, else in the
# system's sbin folders, which a normal user's PATH lacks.
system_tool() {
  local dir
  if command -v "$1" 2>/dev/null; then return 0; fi
  for dir in /usr/local/sbin /usr/sbin /sbin; do
    if [ -x "$dir/$1" ]; then
      echo "$dir/$1"
      return 0
    fi
  done
  echo "$(basename "$0"): $1 is not installed" >&2
  return 1
}

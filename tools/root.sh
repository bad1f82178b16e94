# Sourced by the tools: running a command as root when the tool is run by a normal user with sudo rights.
# as_root WHY COMMAND...   runs COMMAND as root (directly when already root, else with sudo, saying why first)
# own_build_trees DIR...   gives files that a root run left in DIR back to the owner of the checkout

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi

as_root() {
  local why=$1
  shift
  if [ -z "$SUDO" ]; then
    "$@"
    return
  fi
  if ! command -v sudo >/dev/null 2>&1; then
    echo "$(basename "$0"): needs root to $why, and sudo is not installed: run it as root" >&2
    return 1
  fi
  echo "$(basename "$0"): using sudo to $why" >&2
  sudo "$@"
}

own_build_trees() {
  local owner dirs=()
  owner=$(stat -c %u:%g .)
  for d in "$@"; do [ -d "$d" ] && dirs+=("$d"); done
  [ "${#dirs[@]}" -gt 0 ] || return 0
  if [ -z "$SUDO" ]; then
    [ "$owner" = 0:0 ] || chown -R "$owner" "${dirs[@]}"
  elif [ -n "$(find "${dirs[@]}" ! -user "$(id -u)" -print -quit 2>/dev/null)" ]; then
    as_root "give the files that root made in ${dirs[*]} back to $(id -un)" chown -R "$owner" "${dirs[@]}"
  fi
}

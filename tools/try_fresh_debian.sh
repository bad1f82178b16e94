#!/usr/bin/env bash
# Tries the README's two commands the way a new user meets them: on a bare Debian root of the given release
# (debootstrap minbase plus git, sudo and ca-certificates), in a chroot, with this checkout cloned in and
# ../shared beside it. It runs `bash tools/demo.sh` and `bash tools/test.sh` as root, then as a normal user
# with sudo rights (home 0700), then as root again, and prints each command's exit code, wall time and test
# counts, and what /tmp and /usr/sbin/policy-rc.d hold before and after each pass. Everything is torn down at
# the end, however the script ends. Not part of the test command: it takes half an hour or more and needs the
# network for apt.
#   sudo bash tools/try_fresh_debian.sh RELEASE [--commit REF] [--log FILE] [--mirror URL]
#     RELEASE   bookworm, trixie, ... (or 12, 13)
#     --commit  what to test: a commit, branch or tag of this repository (default HEAD)
#     --log     the full output of every command (default /var/tmp/maildig-fresh-RELEASE.log)
# The chroot shares the machine's network (apt needs it), so its test servers use the machine's loopback
# addresses; runs take turns on the lock $MAILDIG_NET_LOCK (default /tmp/maildig-net.lock, the lock the
# network benchmark takes too). The chroot lives under /var/tmp in a mount and PID namespace of its own, so
# its mounts and processes cannot outlive the script.
set -euo pipefail

usage() {
  sed -n 's/^#   //p' "$0" >&2
  exit 2
}

if [ "${1:-}" = --inner ]; then
  inner=1
  shift
else
  inner=0
fi
[ $# -ge 1 ] || usage
release=$1
shift
commit=HEAD
log=
mirror=${MIRROR:-http://deb.debian.org/debian}
root_dir=
while [ $# -gt 0 ]; do
  case $1 in
    --commit) commit=${2:?}; shift 2 ;;
    --log) log=${2:?}; shift 2 ;;
    --mirror) mirror=${2:?}; shift 2 ;;
    --root) root_dir=${2:?}; shift 2 ;; # internal: the folder made by the outer half
    *) usage ;;
  esac
done
case $release in
  12) release=bookworm ;;
  13) release=trixie ;;
esac
log=${log:-/var/tmp/maildig-fresh-$release.log}

# ---- outer half: the folder, the lock, the namespaces, the removal --------------------------------------
if [ "$inner" = 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "try_fresh_debian: needs root (debootstrap, chroot): sudo bash $0 ..." >&2; exit 2; }
  for p in debootstrap unshare flock git; do
    command -v "$p" >/dev/null || { echo "try_fresh_debian: $p is missing (apt-get install debootstrap)" >&2; exit 2; }
  done
  checkout=$(cd "$(dirname "$0")/.." && pwd)
  sha=$(git -C "$checkout" rev-parse --verify "$commit^{commit}") ||
    { echo "try_fresh_debian: no commit $commit in $checkout" >&2; exit 2; }
  root_dir=$(mktemp -d "/var/tmp/maildig-fresh-$release.XXXXXX")
  chmod 0755 "$root_dir" # the root folder of the new system, which its users and services must reach
  child=
  remove_root() {
    # Killing unshare kills the namespaces' first process, and with it every process and mount in them.
    if [ -n "$child" ]; then
      kill -KILL "$child" 2>/dev/null || true
      wait "$child" 2>/dev/null || true
    fi
    local tries=0
    while findmnt -rn -o TARGET | grep -q "^$root_dir" && [ $tries -lt 50 ]; do
      sleep 0.2
      tries=$((tries + 1))
    done
    # Never delete through a mount.
    if findmnt -rn -o TARGET | grep -q "^$root_dir"; then
      echo "try_fresh_debian: $root_dir still has mounts; not removed" >&2
      return
    fi
    rm -rf --one-file-system "$root_dir"
  }
  trap remove_root EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  : >"$log"
  echo "try_fresh_debian: Debian $release, commit ${sha:0:12}, in $root_dir; full log in $log"
  echo "try_fresh_debian: waiting for ${MAILDIG_NET_LOCK:-/tmp/maildig-net.lock} (the machine's loopback ports)"
  # In the background, so that a signal reaches the traps above at once.
  unshare --mount --propagation private --pid --fork --kill-child \
    flock "${MAILDIG_NET_LOCK:-/tmp/maildig-net.lock}" \
    bash "$0" --inner "$release" --commit "$sha" --log "$log" --mirror "$mirror" --root "$root_dir" &
  child=$!
  status=0
  wait "$child" || status=$?
  child=
  exit $status
fi

# ---- inner half: in a PID namespace of its own, whose processes all end with it --------------------------
checkout=$(cd "$(dirname "$0")/.." && pwd)
shared=$(cd "$checkout/../shared" 2>/dev/null && pwd) || { echo "try_fresh_debian: no ../shared beside $checkout" >&2; exit 2; }
r=$root_dir
user=dev
say() { echo "$*" | tee -a "$log"; }

unmount_all() {
  local m
  for m in $(findmnt -rn -o TARGET | grep -E "^$r(/|\$)" | sort -r); do umount "$m" 2>/dev/null || umount -l "$m"; done
}
trap unmount_all EXIT

say "== debootstrap --variant=minbase $release (git, sudo, ca-certificates) =="
debootstrap --variant=minbase --include=git,sudo,ca-certificates "$release" "$r" "$mirror" >>"$log" 2>&1 ||
  { say "try_fresh_debian: debootstrap failed (see $log)"; exit 1; }
# The chroot's / is a mount point of its own, as on a real machine (the tests make it private in a mount
# namespace of their own before they bind a hosts file of theirs).
mount --bind "$r" "$r"
mount -t proc proc "$r/proc"
mount -t sysfs sysfs "$r/sys"
mount --bind /dev "$r/dev"
mount --bind /dev/pts "$r/dev/pts"
mount -t tmpfs tmpfs "$r/dev/shm"
mount -t tmpfs tmpfs "$r/run"
cp /etc/resolv.conf "$r/etc/resolv.conf"

# A normal user with sudo rights; nobody can type a password here, so sudo asks for none.
chroot "$r" useradd --create-home --shell /bin/bash "$user"
chmod 0700 "$r/home/$user"
echo "$user ALL=(ALL) NOPASSWD: ALL" >"$r/etc/sudoers.d/$user"
chmod 0440 "$r/etc/sudoers.d/$user"

# clone_into HOME OWNER: the checkout at the commit, with ../shared beside it, owned by OWNER.
clone_into() {
  git clone --quiet --no-hardlinks "$checkout" "$r$1/maildig"
  git -C "$r$1/maildig" checkout --quiet --detach "$commit"
  cp -r "$shared" "$r$1/shared"
  chroot "$r" chown -R "$2:$2" "$1/maildig" "$1/shared"
}
clone_into /root root
clone_into "/home/$user" "$user"

summary=()
# state WHEN: what /tmp and /usr/sbin/policy-rc.d of the chroot hold.
state() {
  local tmp policy
  tmp=$(cd "$r/tmp" && find . -mindepth 1 -maxdepth 1 -printf '%P (%u) ' | sed 's/ $//')
  if [ -e "$r/usr/sbin/policy-rc.d" ]; then policy="present: $(tr '\n' ' ' <"$r/usr/sbin/policy-rc.d")"; else policy=absent; fi
  summary+=("  $1: /tmp: ${tmp:-empty}; /usr/sbin/policy-rc.d: $policy")
}

# counts LOGFILE: the ctest "tests passed" lines of each build, summed per build.
counts() {
  awk '/^== normal build ==/ {b="build"} /^== sanitizer build/ {b="build-asan"} /^== Debian package ==/ {b=""}
       /tests passed, [0-9]+ tests? failed out of [0-9]+/ && b != "" {
         for (i = 1; i <= NF; i++) if ($i == "failed") f = $(i - 2)
         total[b] += $NF; failed[b] += f; lines[b]++ }
       END { split("build build-asan", order)
             for (k = 1; k <= 2; k++) if ((x = order[k]) in total)
               printf "%s %d/%d passed (%d ctest runs); ", x, total[x] - failed[x], total[x], lines[x] }' "$1" |
    sed 's/; $//'
}

# run PASS WHO COMMAND: one README command in WHO's checkout, as WHO.
run() {
  local pass=$1 who=$2 command=$3 home=/root path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  local out start rc wall tests=""
  # A normal user's PATH, as Debian gives it, lacks the sbin folders.
  if [ "$who" != root ]; then home=/home/$who path=/usr/local/bin:/usr/bin:/bin; fi
  out=$(mktemp)
  say ""
  say "== pass $pass, as $who: $command =="
  start=$(date +%s)
  rc=0
  chroot "$r" /usr/sbin/runuser -u "$who" -- /usr/bin/env -i HOME="$home" USER="$who" LOGNAME="$who" \
    SHELL=/bin/bash TERM=dumb PATH="$path" bash -c "cd ~/maildig && $command" </dev/null >"$out" 2>&1 || rc=$?
  wall=$(($(date +%s) - start))
  cat "$out" >>"$log"
  if [[ $command == *test.sh* ]]; then tests=$(counts "$out"); fi
  summary+=("$(printf '  pass %s  %-4s  %-18s  exit %-3s  %2d:%02d  %s' "$pass" "$who" "$command" "$rc" \
    $((wall / 60)) $((wall % 60)) "$tests")")
  if [[ $command == *test.sh* ]]; then
    summary+=("$(grep -a -E '^test: ' "$out" | tail -1 | sed 's/^/      /')")
  fi
  say "== exit code $rc after $wall s =="
  rm -f "$out"
}

pass() {
  state "before pass $1 ($2)"
  run "$1" "$2" "bash tools/demo.sh"
  run "$1" "$2" "bash tools/test.sh"
  state "after pass $1 ($2)"
}
pass 1 root
pass 2 "$user"
pass 3 root

os=$(. "$r/etc/os-release" && echo "$PRETTY_NAME")
{
  echo
  echo "== maildig on a fresh $os (minbase + git, sudo, ca-certificates), commit ${commit:0:12} =="
  printf '%s\n' "${summary[@]}"
  echo "  compilers: $(chroot "$r" gcc --version | head -1); $(chroot "$r" clang --version | head -1);" \
    "$(chroot "$r" clang-format --version); Dovecot $(chroot "$r" /usr/sbin/dovecot --version)"
} | tee -a "$log"

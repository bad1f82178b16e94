#!/usr/bin/env bash
# Builds the Debian package from a build tree (cpack), checks its control fields, its file list and lintian's
# verdict, installs it, runs the installed program and looks up its manual page, then removes it again and
# checks that nothing is left. Installing and removing need root (sudo when run by a normal user).
#   bash tools/package_check.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/root.sh
build=${1:?usage: tools/package_check.sh BUILD_DIR}

fail() {
  echo "package: $*" >&2
  exit 1
}

rm -f "$build"/maildig_*.deb
(cd "$build" && cpack -G DEB >/dev/null 2>&1) || fail "cpack -G DEB failed in $build"
debs=("$build"/maildig_*.deb)
deb=${debs[0]}

files=(/usr/bin/maildig
       /usr/share/bash-completion/completions/maildig
       /usr/share/doc/maildig/README.md
       /usr/share/doc/maildig/changelog.gz
       /usr/share/doc/maildig/copyright
       /usr/share/man/man1/maildig.1.gz
       /usr/share/zsh/vendor-completions/_maildig)
listed=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' | grep -v '/$' | sort)
[ "$listed" = "$(printf '%s\n' "${files[@]}" | sort)" ] || fail "unexpected file list of $deb:"$'\n'"$listed"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libc6* && $depends == *libstdc++6* && $depends == *libsqlite3-0* && $depends == *libzstd1* ]] ||
  fail "Depends lacks the shared libraries: $depends"
recommends=$(dpkg-deb -f "$deb" Recommends)
[ "$recommends" = libssl3 ] || fail "Recommends is '$recommends', not libssl3"
verdict=0
# lintian's scratch files go to a folder of its own, removed right after.
lintian_tmp=$(mktemp -d)
report=$(TMPDIR=$lintian_tmp lintian --fail-on error "$deb" 2>&1) || verdict=$?
rm -rf "$lintian_tmp"
report=$(grep -v "running with root privileges" <<<"$report" || true)
echo "package: lintian: ${report:-no tags}"
[ "$verdict" = 0 ] || fail "lintian reports errors"

if dpkg-query -W -f='${Status}' maildig 2>/dev/null | grep -q "ok installed"; then
  fail "a maildig package is already installed here; remove it first (sudo dpkg --purge maildig)"
fi
purge() { as_root "remove the package again" dpkg --purge maildig >/dev/null; }
as_root "install the package (dpkg -i)" dpkg -i "$deb" >/dev/null
trap purge EXIT
[[ $(/usr/bin/maildig --version) == *"maildig Version"* ]] || fail "the installed maildig --version failed"
manpage=$(man -w maildig 2>&1) || true
if [ "$manpage" != /usr/share/man/man1/maildig.1.gz ]; then
  excluded=$(grep -rls 'path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d 2>/dev/null || true)
  fail "man -w maildig gives '$manpage'${excluded:+ (dpkg leaves out manual pages here: $excluded)}"
fi
trap - EXIT
purge
for f in "${files[@]}" /usr/share/doc/maildig; do
  [ ! -e "$f" ] || fail "$f is left after dpkg --purge maildig"
done
! dpkg-query -W -f='${Status}' maildig 2>/dev/null | grep -q installed || fail "maildig is still registered"
echo "package: $(basename "$deb") (Depends: $depends; Recommends: $recommends): file list, lintian (no errors),"
echo "package: install, maildig --version, man -w maildig, purge (nothing left): all passed"

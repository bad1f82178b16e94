#!/usr/bin/env bash
# Installs what maildig needs to build, test and run its demo on Debian (12 and 13).
# Safe to run again: it installs only what is missing and never starts the system-wide mail service.
set -euo pipefail

cd "$(dirname "$0")/.."
source tools/root.sh

packages=(build-essential cmake pkg-config libssl-dev openssl libgtest-dev libgmock-dev googletest
          libsqlite3-dev libzstd-dev zlib1g-dev
          libbenchmark-dev dovecot-core dovecot-pop3d python3 clang-format time clang
          mandoc man-db bash-completion zsh dpkg-dev lintian)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# clang_major: the major version of the clang that the package clang brings (installed, else apt's candidate).
clang_major() {
  local depends
  if installed clang; then
    depends=$(dpkg-query -W -f='${Depends}' clang)
  else
    depends=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: //p' | tr '\n' ',')
  fi
  grep -oE '(^|[ ,])clang-[0-9]+' <<<"$depends" | grep -oE '[0-9]+' | head -1
}

# clang_runtime: the package with the sanitizer and libFuzzer runtime of that clang (each release names it
# after the clang version, e.g. libclang-rt-14-dev or libclang-rt-19-dev), or nothing when apt knows none.
clang_runtime() {
  local major
  major=$(clang_major)
  if [ -n "$major" ] && apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1; then
    echo "libclang-rt-$major-dev"
  fi
}

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
runtime=$(clang_runtime)

if [ "${#missing[@]}" -gt 0 ] || [ -z "$runtime" ] || ! installed "$runtime"; then
  if [ -n "$SUDO" ]; then echo "setup: installing packages needs root; using sudo"; fi
  # Keep the package scripts from starting the system-wide Dovecot service: the tests and the demo run their
  # own private instances on loopback. A policy file that was here before is left alone; the one made here
  # goes again however this script ends.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  remove_policy() { if [ "$made_policy" = 1 ]; then $SUDO rm -f "$policy" && made_policy=0; fi; }
  trap remove_policy EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
  if [ ! -e "$policy" ]; then
    made_policy=1
    printf '#!/bin/sh\n# Written by maildig tools/setup.sh while it installs packages; removed when it ends.\nexit 101\n' |
      $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
  fi
  $SUDO apt-get update -qq
  # Asked again with the current package lists, so that the runtime fits the clang that gets installed.
  runtime=$(clang_runtime)
  if [ -z "$runtime" ]; then
    echo "setup: apt knows no libclang-rt-N-dev for the clang of this release" >&2
    exit 1
  fi
  installed "$runtime" || missing+=("$runtime")
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
  remove_policy
fi
echo "setup: all dependencies present"

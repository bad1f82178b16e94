#!/usr/bin/env bash
# Installs what maildig needs to build, test and run its demo on Debian.
# Safe to run again: it installs only what is missing and never starts the system-wide mail service.
set -euo pipefail

cd "$(dirname "$0")/.."
source tools/root.sh

packages=(build-essential cmake pkg-config libssl-dev openssl libgtest-dev libgmock-dev googletest
          libbenchmark-dev dovecot-core dovecot-pop3d python3 clang-format time
          clang libclang-rt-14-dev
          mandoc man-db bash-completion zsh dpkg-dev lintian)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ -n "$SUDO" ]; then echo "setup: installing packages needs root; using sudo"; fi
  # Keep the package scripts from starting the system-wide Dovecot service: the tests and the demo run their
  # own private instances on loopback.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    made_policy=1
  fi
  $SUDO apt-get update -qq
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  if [ "$made_policy" = 1 ]; then $SUDO rm -f "$policy"; fi
fi
echo "setup: all dependencies present"

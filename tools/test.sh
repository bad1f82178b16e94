#!/usr/bin/env bash
# Sets everything up, builds maildig twice (normal, and with AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs the whole test suite on both builds, then builds, checks, installs and removes the Debian package.
# Exits non-zero when anything fails, and also when a suite was skipped (did not run).
# Run by a normal user, it uses sudo for what needs root: installing packages, the suites labelled root (they
# bind port 110 and run private Dovecot servers) and installing the Debian package.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/root.sh

started=$SECONDS
bash tools/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
failures=()
builds=(build build-asan build-fuzz)
# A run as root (sudo bash tools/test.sh) leaves nothing in the build trees that the checkout's owner cannot
# change, and a run by that owner first takes back what an earlier root run left.
# Scratch files of the run (the fuzz targets', lintian's, the install tests') go to a folder of its own, removed
# when the run ends, however it ends.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/maildig-test.XXXXXX")
export TMPDIR=$scratch
trap 'own_build_trees "${builds[@]}"; rm -rf "$scratch"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
own_build_trees "${builds[@]}"

# Tests that may skip: as root, a read-only folder does not stop a write.
allowed_skips=()
if [ -z "$SUDO" ]; then allowed_skips+=(MaildigConfig.FailedWriteKeepsTheOldFile); fi

# ctest_in DIR [ARGS...]: one ctest run in DIR; its console output and every test's output are kept for
# skip_report.
ctest_in() {
  local dir=$1
  shift
  local rc=0
  (cd "$dir" && "$@" --output-on-failure --no-tests=error -j "$jobs") 2>&1 | tee -a "$dir/Testing/maildig-console.log" ||
    rc=$?
  cat "$dir/Testing/Temporary/LastTest.log" >>"$dir/Testing/maildig-tests.log" 2>/dev/null || true
  return $rc
}

# skip_report DIR: the tests that were skipped (by CTest, or inside a suite run as one CTest test), except the
# allowed ones, and the reasons they gave.
skip_report() {
  local console=$1/Testing/maildig-console.log tests=$1/Testing/maildig-tests.log
  local names=() name a allowed
  for name in $({
    sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*Skipped.*/\1/p' "$console"
    grep -aoE '^\[  SKIPPED \] [A-Za-z0-9_/]+\.[A-Za-z0-9_/]+' "$tests" | awk '{print $4}'
  } | sort -u); do
    allowed=0
    for a in "${allowed_skips[@]}"; do [ "$name" = "$a" ] && allowed=1; done
    [ "$allowed" = 1 ] || names+=("$name")
  done
  [ "${#names[@]}" -gt 0 ] || return 0
  echo "    ${names[*]}"
  # GoogleTest prints the reason on the line after "file:line: Skipped"; the other checks print "skipped: why".
  { grep -a -A1 -E ': Skipped$' "$tests" | grep -av -E ': Skipped$|^--$'
    grep -a -h '^skipped: ' "$tests" "$console"; } | sort -u | sed 's/^/    because: /'
}

# run_build DIR [CMAKE ARGS...]: configures, builds and runs every suite of one build.
run_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  mkdir -p "$dir/Testing"
  rm -f "$dir/Testing/maildig-console.log" "$dir/Testing/maildig-tests.log"
  local env=(env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
  if [ -z "$SUDO" ]; then
    ctest_in "$dir" "${env[@]}" ctest || failures+=("$dir: tests failed")
  else
    ctest_in "$dir" "${env[@]}" ctest -LE root || failures+=("$dir: tests failed")
    ctest_in "$dir" as_root "run the suites that bind port 110 and run private Dovecot servers" \
      "${env[@]}" ctest -L root || failures+=("$dir: the suites run as root failed (or sudo was refused)")
    own_build_trees "$dir"
  fi
  local skipped
  skipped=$(skip_report "$dir")
  if [ -n "$skipped" ]; then
    failures+=("$dir: these tests were skipped, so they did not run:"$'\n'"$skipped")
  fi
}

echo "== formatting (clang-format) =="
bash tools/check_format.sh || failures+=("sources differ from .clang-format (see above)")
echo "== normal build =="
run_build build
echo "== sanitizer build (ASan + UBSan) =="
run_build build-asan -DMAILDIG_SANITIZE=ON -DMAILDIG_BENCH=OFF
echo "== Debian package =="
# Package checks on one machine take turns (each installs and removes the same package); the lock is dpkg's
# database folder itself, so no lock file is left behind.
flock /var/lib/dpkg bash tools/package_check.sh build || failures+=("the Debian package check failed")

# ---- fuzz smoke runs --------------------------------------------------------------------------------------
# Every fuzz target for a few seconds over its corpus (clang, libFuzzer + ASan + UBSan, in build-fuzz), so that
# the targets keep building and the parsers stay alive on hostile input. Long runs: tools/fuzz.sh SECONDS.
echo "== fuzz smoke runs =="
bash tools/fuzz.sh "${MAILDIG_FUZZ_SECONDS:-8}" || failures+=("the fuzz smoke runs failed")
# ---- end of fuzz smoke runs -------------------------------------------------------------------------------

minutes=$(((SECONDS - started + 59) / 60))
if [ "${#failures[@]}" -gt 0 ]; then
  echo
  echo "test: FAILED after $minutes min:"
  printf '  - %s\n' "${failures[@]}"
  exit 1
fi
echo
echo "test: everything passed in $minutes min"

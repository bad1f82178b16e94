#!/usr/bin/env bash
# Sets everything up, builds maildig twice (normal, and with AddressSanitizer + UndefinedBehaviorSanitizer)
# and runs the whole test suite on both builds. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
status=0
run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs") || status=1
}

echo "== normal build =="
run_build build
echo "== sanitizer build (ASan + UBSan) =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build-asan -DMAILDIG_SANITIZE=ON -DMAILDIG_BENCH=OFF

# ---- fuzz smoke runs --------------------------------------------------------------------------------------
# Every fuzz target for a few seconds over its corpus (clang, libFuzzer + ASan + UBSan, in build-fuzz), so that
# the targets keep building and the parsers stay alive on hostile input. Long runs: tools/fuzz.sh SECONDS.
echo "== fuzz smoke runs =="
bash tools/fuzz.sh "${MAILDIG_FUZZ_SECONDS:-8}" || status=1
# ---- end of fuzz smoke runs -------------------------------------------------------------------------------

exit $status

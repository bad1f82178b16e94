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

exit $status

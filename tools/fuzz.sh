#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + AddressSanitizer + UndefinedBehaviorSanitizer) in build-fuzz
# and runs each of them for SECONDS seconds, one after the other on one core, over a corpus kept in
# build-fuzz/corpus/<target> (seeded from fuzz/seeds, fuzz/regressions and tests/data).
#   tools/fuzz.sh SECONDS [target...]      targets: the fuzz_* names without the prefix (default: all)
# An input that crashes, hangs (10 s) or takes more than 1 GB is written to build-fuzz/artifacts/<target>/ and
# the script exits non-zero; keep such an input in fuzz/regressions/<target>/ once it is fixed, so that the
# ordinary test suite replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: tools/fuzz.sh SECONDS [target...]}
shift
all=(mime_message encoded_words transfer_encodings header_values charsets pop3_send params)
targets=("${@:-${all[@]}}")

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMAILDIG_FUZZ=ON \
  -DMAILDIG_TESTS=OFF -DMAILDIG_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "${FUZZ_JOBS:-2}" --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null

status=0
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  artifacts=build-fuzz/artifacts/$t/
  mkdir -p "$corpus" "$artifacts"
  inputs=("$corpus")
  for dir in fuzz/seeds/$t fuzz/regressions/$t; do [[ -d $dir ]] && inputs+=("$dir"); done
  case $t in
    mime_message) inputs+=(tests/data/mime) ;;
  esac
  log=build-fuzz/$t.log
  if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "build-fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -max_len=65536 \
     -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts" "${inputs[@]}" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  printf '%-20s %-6s %10s execs  %s\n' "$t" "$result" "${execs:-?}" "${cov:-}"
  [[ $result == ok ]] || grep -m1 -A3 'ERROR\|SUMMARY\|Test unit written' "$log" || true
done
exit $status

#!/usr/bin/env bash
# Sets everything up, builds maildig and shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target maildig
./build/src/maildig --help

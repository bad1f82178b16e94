#!/usr/bin/env bash
# Checks that every C++ source and header in src/, tests/, bench/ and fuzz/ is formatted as .clang-format says.
# Prints the places that differ and exits non-zero when there are any; changes nothing (format a file with
# clang-format -i).
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null; then
  echo "check_format.sh: clang-format is not installed (apt-get install clang-format)" >&2
  exit 2
fi

mapfile -t files < <(git ls-files -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' 'fuzz/*.cpp' 'fuzz/*.h')
if [ "${#files[@]}" -eq 0 ]; then
  echo "check_format.sh: no C++ sources found" >&2
  exit 2
fi
if clang-format --dry-run -Werror "${files[@]}"; then
  echo "check_format.sh: ${#files[@]} files formatted as .clang-format says"
else
  echo "check_format.sh: the files above differ from .clang-format (clang-format -i <file> formats one)" >&2
  exit 1
fi

#!/usr/bin/env bash
# Configures and builds the project (Release, warnings on).
#   scripts/build.sh              into build/
#   scripts/build.sh --sanitize   into build-sanitize/, with the address and
#                                 undefined-behaviour sanitizers
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build"
extra=()
if [ "${1:-}" = "--sanitize" ]; then
  dir="$root/build-sanitize"
  extra=(-DHARVENLOTEK_SANITIZE=ON -DHARVENLOTEK_BUILD_BENCHMARKS=OFF)
fi
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release "${extra[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"

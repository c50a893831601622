#!/usr/bin/env bash
# Builds and runs every benchmark (build/bin/bench_*) in a scratch directory.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
for bench in "$root"/build/bin/bench_*; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench"
done

#!/usr/bin/env bash
# Builds and runs every benchmark (build/bin/bench_*) in a scratch directory,
# under a virtual X server when there is no display.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
"$root/scripts/install-deps.sh" --test
"$root/scripts/build.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
run_all() {
  for bench in "$root"/build/bin/bench_*; do
    [ -x "$bench" ] || continue
    echo "== $(basename "$bench")"
    "$bench"
  done
}
# The view benchmarks need an X server; use a virtual one when there is no display.
if [ -n "${DISPLAY:-}" ]; then run_all
else xvfb-run -a -s "-screen 0 1920x1080x24" bash -c "root='$root'; $(declare -f run_all); run_all"; fi

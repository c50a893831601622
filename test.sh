#!/usr/bin/env bash
# Installs what is missing (Xvfb included), builds, and runs every test under a
# virtual 1920x1080x24 X server. Exits non-zero when any test fails.
#   ./test.sh              the Release build
#   ./test.sh --sanitize   the same suite on a build with the address and
#                          undefined-behaviour sanitizers (build-sanitize/)
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
"$root/scripts/install-deps.sh" --test
dir="$root/build"
if [ "${1:-}" = "--sanitize" ]; then
  "$root/scripts/build.sh" --sanitize
  dir="$root/build-sanitize"
  # Leaks inside the system's OpenGL driver and X libraries are not ours;
  # every other report ends the test that caused it.
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
else
  "$root/scripts/build.sh"
fi
cd "$dir"
xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j"$(nproc)"

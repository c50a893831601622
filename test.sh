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
preload=()
if [ "${1:-}" = "--sanitize" ]; then
  "$root/scripts/build.sh" --sanitize
  dir="$root/build-sanitize"
  # Every report ends the test that caused it; leaks inside system
  # libraries are listed in scripts/lsan.supp.
  # Mesa's software driver stays loaded, so that what it keeps at exit is
  # attributed to it and suppressed by name.
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:verify_asan_link_order=0"
  export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
  preload=(env LD_PRELOAD="$(ls /usr/lib/*/dri/swrast_dri.so | head -n 1)")
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
else
  "$root/scripts/build.sh"
fi
cd "$dir"
xvfb-run -a -s "-screen 0 1920x1080x24" ${preload[@]+"${preload[@]}"} ctest --output-on-failure -j"$(nproc)"

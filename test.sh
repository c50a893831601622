#!/usr/bin/env bash
# Installs what is missing (Xvfb included), builds, and runs every test under a
# virtual 1920x1080x24 X server. Exits non-zero when any test fails.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
"$root/scripts/install-deps.sh" --test
"$root/scripts/build.sh"
cd "$root/build"
xvfb-run -a -s "-screen 0 1920x1080x24" ctest --output-on-failure -j"$(nproc)"

#!/usr/bin/env bash
# Installs what is missing, builds, and starts Harvenlotek in the current directory
# (the program writes its result files there).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: the window cannot open here. For headless runs use $root/build/bin/harvenlotek-cli (see README, 'Command-line designer')." >&2
  exit 1
fi
exec "$root/build/bin/harvenlotek" "$@"

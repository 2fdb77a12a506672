#!/usr/bin/env bash
# Installs what is missing, builds a Release build and starts ZephraFTP.
# Extra arguments go to the program (for example --home DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
dir=$("$root/scripts/build.sh" release)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: starting under a virtual X server (xvfb-run)." >&2
  exec xvfb-run -a "$dir/src/app/zephraftp" "$@"
fi
exec "$dir/src/app/zephraftp" "$@"

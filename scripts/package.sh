#!/usr/bin/env bash
# Builds the Debian package from a Release build: scripts/package.sh [OUTDIR].
# Prints the package's path; install it with: apt install ./zephraftp_*.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/package}
"$root/scripts/deps.sh"
dir=$("$root/scripts/build.sh" release)
mkdir -p "$out"
(cd "$dir" && cpack -G DEB -B "$out" >&2)
rm -rf "$out/_CPack_Packages"
ls "$out"/zephraftp_*.deb

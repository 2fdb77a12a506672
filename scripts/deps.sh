#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need, if any is missing.
# Works without standard input; uses sudo when not run as root.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6test6 qt6-qpa-plugins
  libcurl4-openssl-dev libssl-dev libsodium-dev curl libgtest-dev libgmock-dev libbenchmark-dev time
  python3-pyftpdlib python3-openssl vsftpd lftp xvfb xauth fonts-dejavu-core
  dpkg-dev desktop-file-utils appstream
  clang libclang-rt-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = "installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo -n)

# Keep package installs from starting system services (vsftpd would take port 21);
# the tests start their own servers on loopback.
policy=${ZEPHRA_POLICY_RC:-/usr/sbin/policy-rc.d}  # another path only for the script's own test
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${SUDO[@]}" tee "$policy" >/dev/null
  "${SUDO[@]}" chmod 755 "$policy"
  made_policy=1
fi
# The trap's status becomes the script's: it must not fail when there was nothing to remove.
cleanup() { if [ "$made_policy" -eq 1 ]; then "${SUDO[@]}" rm -f "$policy"; fi; }
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq </dev/null
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null

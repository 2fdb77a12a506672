#!/usr/bin/env bash
# Takes a screenshot of the main window under a virtual X server:
#   scripts/screenshot.sh [OUTPUT.png] [PROGRAM]
# Uses a throw-away data directory holding one sample connection and one sample key, with the
# version notice switched off. Needs xvfb-run and ImageMagick's import.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/resources/screenshots/main-window.png}
program=${2:-}
if [ -z "$program" ]; then
  program="$("$root/scripts/build.sh" release)/src/app/zephraftp"
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
# connect.dat: name 80, address 80, user 40, password 20, passive 1, port 4 (blank-padded).
printf '%-80s%-80s%-40s%-20s%s%-4s' "Example server" "ftp.example.org" "anonymous" "" "Y" "21" >"$home/connect.dat"
# key.dat: name 40, key 18.
printf '%-40s%-18s' "Office" "739215486127394851" >"$home/key.dat"
printf 'Done\r\n' >"$home/opt.dne"
export ZEPHRA_SHOT_PROGRAM=$program ZEPHRA_SHOT_HOME=$home ZEPHRA_SHOT_OUT=$out
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  "$ZEPHRA_SHOT_PROGRAM" --home "$ZEPHRA_SHOT_HOME" & pid=$!
  for _ in $(seq 1 50); do
    sleep 0.2
    xwininfo -root -tree 2>/dev/null | grep -q "Zephra Encryption FTP 5" && break
  done
  sleep 1
  import -window root -crop 1060x720+0+0 +repage "$ZEPHRA_SHOT_OUT"
  kill -TERM $pid
  wait $pid || true
'
echo "$out"

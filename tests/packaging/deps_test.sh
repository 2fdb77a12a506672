#!/usr/bin/env bash
# scripts/deps.sh with stand-ins for dpkg-query, apt-get and sudo on PATH: its exit status and what
# it does with the package policy file, in the four situations a fresh or a used machine is in.
set -uo pipefail
deps=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
# Every package is installed, except the one named in $MISSING.
for last; do :; done
[ "$last" = "${MISSING:-}" ] && exit 1
printf installed
STUB
cat >"$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$LOG"
if [ "$1" = install ]; then
  if [ -e "$ZEPHRA_POLICY_RC" ]; then echo "policy present during install" >>"$LOG"; fi
  exit "${APT_STATUS:-0}"
fi
exit 0
STUB
printf '#!/bin/sh\n[ "$1" = -n ] && shift\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/"*

failures=0
check() {  # name, expected status, actual status, condition
  if [ "$2" != "$3" ] || ! eval "$4"; then
    echo "FAIL $1: exit $3 (expected $2); log: $(tr '\n' '|' <"$LOG")"; failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
}
run() {
  : >"$LOG"
  PATH="$work/bin:$PATH" bash "$deps" </dev/null >/dev/null 2>&1
}
export LOG=$work/log ZEPHRA_POLICY_RC=$work/policy-rc.d

MISSING= run; check "nothing missing: nothing installed" 0 $? '! grep -q install "$LOG"'

printf '#!/bin/sh\nexit 101\n' >"$ZEPHRA_POLICY_RC"
# Guards the fault where the clean-up trap's false test became the script's exit status.
MISSING=vsftpd run; check "policy file already there: success, file kept" 0 $? \
  'grep -q "install.*vsftpd" "$LOG" && [ -e "$ZEPHRA_POLICY_RC" ]'

rm -f "$ZEPHRA_POLICY_RC"
MISSING=vsftpd run; check "no policy file: made for the install, removed after" 0 $? \
  'grep -q "policy present during install" "$LOG" && [ ! -e "$ZEPHRA_POLICY_RC" ]'

MISSING=vsftpd APT_STATUS=100 run; check "failed install: failure, policy file removed" 100 $? \
  '[ ! -e "$ZEPHRA_POLICY_RC" ]'

[ "$failures" -eq 0 ]

#!/usr/bin/env bash
# The real program asks the version service when it is given no version. Runs in a network
# namespace of its own (the service's port 17384 is fixed), with the UDP stand-in on loopback.
#   version_query_program.sh <update> <udp_service.py>
set -euo pipefail
program=$1
service=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/versionquery.XXXXXX")
mkdir -p "$work/client"
cp "$program" "$work/client/update"
mkfifo "$work/hold"
pid=
cleanup() {
  exec 9>&- 2>/dev/null || true
  [ -z "$pid" ] || { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
passed=0

serve() { # stand-in options...
  if [ -n "$pid" ]; then
    exec 9>&-
    wait "$pid" 2>/dev/null || true
  fi
  # The old output goes first: its READY line must not be taken for the new service's.
  rm -f "$work/service.out"
  python3 "$service" "$@" < "$work/hold" > "$work/service.out" &
  pid=$!
  exec 9> "$work/hold"
  local deadline=$((SECONDS + 20))
  until grep -q '^READY' "$work/service.out" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "the stand-in did not come up"
    sleep 0.05
  done
}
expect() { # exit status, text on standard error, arguments...
  local want=$1 text=$2 status=0
  shift 2
  (cd "$work" && VXM_UPDATE_NO_DIALOGS=1 QT_QPA_PLATFORM=offscreen timeout 60 "$work/client/update" "$@") \
    > "$work/out" 2>&1 || status=$?
  [ "$status" = "$want" ] || { cat "$work/out" >&2; fail "update $* exited with $status, not $want"; }
  grep -qF -- "$text" "$work/out" || { cat "$work/out" >&2; fail "update $*: no \"$text\""; }
  passed=$((passed + 1))
}

# A silent service: the box offers Retry and Abort (answered Abort), then exit 1.
serve --mode silent
expect 1 "Error: Failed to query latest client"
[ "$(grep -c 'REQUEST version' "$work/service.out")" = 1 ] || fail "expected one version request"

# A version that is no number.
serve --versions "abc#broken"
expect 1 "Update server returned invalid version nr (abc)" --nouser

# A good answer: the run starts by itself and stops at the missing mirrors.ini (exit 2).
serve --versions "77#7.7,78#7.8" --news "news"
expect 2 "mirrors.ini is missing, cannot proceed." --nouser
grep -q 'REQUEST news' "$work/service.out" || fail "the news were not asked"

# The beta channel takes the second item; a foreign answer first changes nothing.
printf '[Channel]\nbeta=true\n' > "$work/client/update.ini"
serve --versions ",88#8.8" --mode foreign-first
expect 2 "mirrors.ini is missing, cannot proceed." --nouser
echo "$passed passed, 0 failed"

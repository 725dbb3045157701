#!/usr/bin/env bash
# The vxm_fakeclient program driven through its control lines, as scripts and the demo drive it.
#   fakeclient_test.sh <vxm_fakeclient> <test plug-in>
set -euo pipefail
client=$1
plugin=$2
folder=$TMPDIR/client
fail() { echo "FAIL: $*" >&2; echo "--- output:" >&2; cat "$TMPDIR/out" >&2; exit 1; }

run() { # [options] with control lines on stdin; output in $TMPDIR/out; exit status in $status
  set +e
  "$client" --plugin "$plugin" --id tester "$@" "$folder" >"$TMPDIR/out" 2>"$TMPDIR/err"
  status=$?
  set -e
}

# A clean session: ready line first, answers before the next line, journal and records printed,
# exit status 0.
run <<'LINES'
# comments and blank lines are ignored

answer serverinfo 0
answerline serverinfo notifyserverinfo name=Sample\sserver
event plugincommand 1 test forward serverinfo
echo after-forward
client 1 7 1 Bob
move 1 7 2
event connectstatus 1 4
infodata 1 7 2
infodata 1 7 1
bogus line
event talkstatus 1 x 0 2
commands
log
journal
LINES
[ "$status" = 0 ] || fail "clean session exited with $status"
[ "$(head -n1 "$TMPDIR/out")" = "fakeclient: ready" ] || fail "no ready line first"
grep -qx 'error: unknown control word: bogus line' "$TMPDIR/out" || fail "bad control word not reported"
grep -qx 'error: not a number: x: event talkstatus 1 x 0 2' "$TMPDIR/out" || fail "bad number not reported"
grep -qx 'infodata: client 7 on 1' "$TMPDIR/out" || fail "infodata"
grep -qx 'infodata: (none)' "$TMPDIR/out" || fail "infodata for a channel"
grep -qx 'faults: 0' "$TMPDIR/out" || fail "faults line"
grep '^log: ' "$TMPDIR/out" | sed 's/^log: 4 TestPlugin //' >"$TMPDIR/log"
cat >"$TMPDIR/expected" <<EXPECTED
vxmplugin_setFunctionPointers
vxmplugin_init app=$folder/ config=$folder/config/ plugins=$folder/plugins/
vxmplugin_registerPluginID "tester" returnCode=PR_tester_1
vxmplugin_onPluginCommandEvent 1 "test" "forward serverinfo"
forward returned 0 returnCode=PR_tester_2
vxmplugin_onIncomingCtrlPortEvent 1 "notifyserverinfo name=Sample\sserver"
vxmplugin_onServerErrorEvent 1 "ok" 0 "PR_tester_2" ""
vxmplugin_onClientMoveEvent 1 7 1 2 1 ""
vxmplugin_onConnectStatusChangeEvent 1 4 0
vxmplugin_infoData 1 7 2
vxmplugin_freeMemory
vxmplugin_infoData 1 7 1
EXPECTED
diff -u "$TMPDIR/expected" "$TMPDIR/log" || fail "the plug-in saw other calls or another order"
grep -q '^journal: #[0-9]* client slot 112 sendCtrlPortCommand(sch=1 command="serverinfo" returnCode="PR_tester_2") -> 0$' \
  "$TMPDIR/out" || fail "journal entry of the forwarded command"
# The answer came after the request had returned and before the next control line.
awk '/^journal:/ && /sendCtrlPortCommand/ {a=NR} /^journal:/ && /call vxmplugin_onServerErrorEvent/ {b=NR}
     /^journal:/ && /call vxmplugin_onClientMoveEvent/ {c=NR} END {exit !(a && a < b && b < c)}' "$TMPDIR/out" \
  || fail "answer not between the request and the next line"

# Faults make the exit status non-zero: a leak found at unload and a call through a reserved slot.
run <<'LINES'
event plugincommand 1 test leak
event plugincommand 1 test slot 100
faults
shutdown
LINES
[ "$status" = 1 ] || fail "faulty session exited with $status"
grep -qx 'fault: reserved: unexpected host slot 100' "$TMPDIR/out" || fail "reserved slot fault"
grep -qx 'faults: 2' "$TMPDIR/out" || fail "fault count at shutdown"
grep -q 'not given back at unload' "$TMPDIR/err" || fail "leak not reported on stderr"

# Waiting for the answers to requests that the plug-in's own threads make.
run <<'LINES'
event plugincommand 1 test threads 2 10
wait vxmplugin_onServerErrorEvent
wait vxmplugin_onServerErrorEvent
wait nothing_like_this 100
journal
shutdown
LINES
[ "$status" = 0 ] || fail "threaded session exited with $status"
[ "$(grep -c '^wait: ok vxmplugin_onServerErrorEvent$' "$TMPDIR/out")" = 2 ] || fail "wait for the two answers"
grep -qx 'wait: timeout nothing_like_this' "$TMPDIR/out" || fail "wait without a match must time out"
grep -q '^journal: #[0-9]* thread-[12] slot 112 sendCtrlPortCommand' "$TMPDIR/out" || fail "requests of plug-in threads"

# Quiet: nothing recorded, the plug-in served as before, a timed line reports its time.
run --quiet <<'LINES'
answer serverinfo 0
time event plugincommand 1 test forward serverinfo
drain
journal
LINES
[ "$status" = 0 ] || fail "quiet session exited with $status"
grep -qE '^time: [0-9]+\.[0-9] at [0-9]+$' "$TMPDIR/out" || fail "no time of the timed line"
grep -qx 'drain: ok' "$TMPDIR/out" || fail "quiet answers not delivered"
! grep -q '^journal:' "$TMPDIR/out" || fail "a quiet session kept a journal"

# A file that is no plug-in.
run </dev/null
[ "$status" = 0 ] || fail "empty input must shut down cleanly"
set +e
"$client" --plugin "$folder/missing.so" "$folder" >"$TMPDIR/out" 2>&1 </dev/null
status=$?
set -e
[ "$status" = 2 ] || fail "missing plug-in exited with $status"
grep -q '^fakeclient: cannot load the plug-in' "$TMPDIR/out" || fail "missing plug-in message"
echo "fakeclient: all checks passed"

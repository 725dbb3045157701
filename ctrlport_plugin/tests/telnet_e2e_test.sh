#!/usr/bin/env bash
# The installed plug-in in the stand-in client, used through Debian's telnet and netcat.
#   telnet_e2e_test.sh <vxm_fakeclient> <ctrlport_plugin.so> <help folder>
# Runs in a network namespace of its own (the port is fixed).
set -euo pipefail
client=$1
plugin=$2
help=$3
work=$TMPDIR/e2e
rm -rf "$work"
mkdir -p "$work/client/plugins/ctrlport_plugin"
cp "$plugin" "$work/client/plugins/"
cp "$help"/*.txt "$work/client/plugins/ctrlport_plugin/"

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.out; do echo "--- $f" >&2; cat -A "$f" >&2 || true; done
  exit 1
}

# Waits until a file holds a text (fixed string), or 10 s pass.
wait_for() {
  local file=$1 text=$2 deadline=$((SECONDS + 10))
  until grep -qF -- "$text" "$file" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "no \"$text\" in $file"
    sleep 0.05
  done
}

# Waits until a process has ended, or 10 s pass.
wait_exit() {
  local pid=$1 deadline=$((SECONDS + 10))
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "process $pid did not end"
    sleep 0.05
  done
}

# --- Descriptors running out while the plug-in starts: under each limit the start returns, having
# started the plug-in whole or not at all, and the client, its input at an end, shuts it down.
for limit in 7 9 11 13 15 17 19 21; do
  status=0
  timeout 20 prlimit --nofile=$limit "$client" --plugin "$work/client/plugins/ctrlport_plugin.so" --id low \
    "$work/client" </dev/null >"$work/limit$limit.out" 2>&1 || status=$?
  [ $status -ne 124 ] || fail "the start under a limit of $limit descriptors did not return"
  if grep -q "faults: [1-9]" "$work/limit$limit.out"; then fail "faults under a limit of $limit descriptors"; fi
done

# The stand-in client reads its control lines from a pipe that stays open until the end.
mkfifo "$work/control"
"$client" --plugin "$work/client/plugins/ctrlport_plugin.so" --id e2e "$work/client" \
  <"$work/control" >"$work/fakeclient.out" 2>&1 &
pids+=($!)
fakeclient=$!
exec 3>"$work/control"
wait_for "$work/fakeclient.out" "fakeclient: ready"
cat >&3 <<'LINES'
answer clientgetids 0
answerline clientgetids notifyclientids cluid=uid-alice clid=2
echo configured
LINES
wait_for "$work/fakeclient.out" "configured"

# --- telnet: an interactive session, one command after the other's answer.
mkfifo "$work/telnet.in"
telnet 127.0.0.1 25639 <"$work/telnet.in" >"$work/telnet.out" 2>&1 &
pids+=($!)
telnet_pid=$!
exec 4>"$work/telnet.in"
wait_for "$work/telnet.out" 'Welcome to the Voxmere 3 CtrlPort interface, type "help" for a list of commands'
wait_for "$work/telnet.out" "selected schandlerid=1"
echo "whoami" >&4
wait_for "$work/telnet.out" "clid=1 cid=1"
echo "clientgetids cluid=uid-alice" >&4
wait_for "$work/telnet.out" "For example you can use 'clientnotifyregister schandlerid=1 event=notifyclientids'"
echo "clientnotifyregister schandlerid=1 event=notifyclientids" >&4
echo "clientgetids cluid=uid-alice" >&4
wait_for "$work/telnet.out" "notifyclientids schandlerid=1 cluid=uid-alice clid=2"
echo "help use" >&4
wait_for "$work/telnet.out" "Usage: use"
echo "quit" >&4
wait_exit "$telnet_pid"
exec 4>&-
grep -q "Connection closed by foreign host" "$work/telnet.out" || fail "telnet was not closed by the plug-in"
# The hint has no error line of its own: every other command ends with one (the help text's own
# examples are indented).
errors=$(grep -aoE "(^|$(printf '\r'))error id=[0-9]+" "$work/telnet.out" | tr -d '\r' | tr '\n' ' ')
[ "$errors" = "error id=0 error id=0 error id=0 error id=0 error id=0 " ] || fail "telnet error lines: $errors"

# --- nc: raw bytes, CR LF line ends and a telnet interrupt, then quit.
printf 'use 1\r\n\xff\xf4whoami\nhelp ../x\nquit\n' | timeout 10 nc 127.0.0.1 25639 >"$work/nc.out" || true
expected=$(printf 'VXM Client\n\rWelcome to the Voxmere 3 CtrlPort interface, type "help" for a list of commands and "help <command>" for information on a specific command.\n\rselected schandlerid=1\n\rselected schandlerid=1\n\rerror id=0 msg=ok\n\rclid=1 cid=1\n\rerror id=0 msg=ok\n\rerror id=1538 msg=invalid\\sparameter\n\rerror id=0 msg=ok_')
[ "$(cat "$work/nc.out"; printf _)" = "$expected" ] || fail "nc session differs"

# --- nc: the list, variable and hash commands answered from the client's own knowledge.
printf 'clientlist -away\nchannellist\nclientvariable clid=2 client_nickname\nhashpassword password=abc\nquit\n' |
  timeout 10 nc 127.0.0.1 25639 >"$work/nc_lists.out" || true
expected=$(printf 'VXM Client\n\rWelcome to the Voxmere 3 CtrlPort interface, type "help" for a list of commands and "help <command>" for information on a specific command.\n\rselected schandlerid=1\n\r%s\n\rerror id=0 msg=ok\n\r%s\n\rerror id=0 msg=ok\n\r%s\n\rerror id=0 msg=ok\n\r%s\n\rerror id=0 msg=ok\n\rerror id=0 msg=ok_' \
  "clid=1 cid=1 client_database_id=0 client_nickname=Me client_type=0 client_away=0 client_away_message|clid=2 cid=2 client_database_id=0 client_nickname=Alice client_type=0 client_away=0 client_away_message" \
  "cid=1 pid=0 channel_order=0 channel_name=Lobby channel_flag_are_subscribed=1 total_clients=1|cid=2 pid=0 channel_order=0 channel_name=Talk channel_flag_are_subscribed=1 total_clients=1" \
  "clid=2 client_nickname=Alice" \
  "passwordhash=qZk+NkcGgWq6PiVxeFDCbJzQ2J0=")
[ "$(cat "$work/nc_lists.out"; printf _)" = "$expected" ] || fail "nc session of the list commands differs"

# --- The stand-in client outlives the closed options dialog; the plug-in unloaded and loaded again
# in the same process answers as before.
printf 'configure\nclosewindows\nreload\necho reloaded\n' >&3
wait_for "$work/fakeclient.out" "reloaded"
grep -qx "reload: ready" "$work/fakeclient.out" || fail "the plug-in did not start again"
printf 'whoami\nquit\n' | timeout 10 nc 127.0.0.1 25639 >"$work/nc_reload.out" || true
expected=$(printf 'VXM Client\n\rWelcome to the Voxmere 3 CtrlPort interface, type "help" for a list of commands and "help <command>" for information on a specific command.\n\rselected schandlerid=1\n\rclid=1 cid=1\n\rerror id=0 msg=ok\n\rerror id=0 msg=ok_')
[ "$(cat "$work/nc_reload.out"; printf _)" = "$expected" ] || fail "nc session after the reload differs"

echo "shutdown" >&3
exec 3>&-
wait_exit "$fakeclient"
wait "$fakeclient" || fail "the stand-in client exited with $?"
grep -qx "faults: 0" "$work/fakeclient.out" || fail "the stand-in client recorded faults"
echo "telnet and nc sessions passed"

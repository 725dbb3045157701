#!/usr/bin/env bash
# Kills the real program (update_crashtest: `update` with the test key and an environment-driven
# fault hook) at many points of an update's file replacement, and checks what follows a crash:
#   0. the installation holds a runnable update, the old one or the release's (the release replaces
#      the updater itself);
#   1. with the temporary folder cleared and the mirror unreachable, the next start leaves the
#      installation byte for byte as it was before the update (or, when the crash came after
#      every file was replaced, as the release with the backups gone);
#   2. with the mirror back, the next run and the start after it (which removes the backup of the
#      updater that a run leaves for it) leave the installation equal to the release with no
#      "_old_" file or journal.
# Points: every other file operation of the replacement, each step of replacing the updater itself
# and the one after it, two of the clean-up after the replacement, two during the rollback of a
# failed replacement, one with the journal's last record cut off, one with the journal left empty,
# one with a record damaged (its plan is lost: the journal and the backups are set aside, and the
# run after it brings every file to the release), and one crash during the start-up recovery itself.
# They run a few at a time, each in an installation of its own.
#   update_crash.sh <update_crashtest> <folder of nginx_serve.py and the test key>
set -euo pipefail
program=$1
servers=$2
version=4711
parallel=6
umask 022

work=$(mktemp -d "${TMPDIR:-/tmp}/update_crash.XXXXXX")
template=$work/template
export HOME=$work/home TMPDIR=$work/tmp
mkdir -p "$HOME" "$TMPDIR" "$work/srv" "$work/served" "$work/release" "$work/points"

fail() { echo "FAIL: $*" >&2; exit 1; }

mkfifo "$work/hold"
nginx_pid=
cleanup() {
  exec 9>&- 2>/dev/null || true
  [ -z "$nginx_pid" ] || { kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

# ---- The release: changed, new and gzip'd files, new folders, a new start script, deletions, ----
# ---- a file that becomes a folder and a folder that becomes a file                          ----
release=$work/release
mkdir -p "$release/lib" "$release/plugins" "$release/data" "$release/newdir/sub"
printf 'client v%s\n' "$version" > "$release/vxmclient_linux_amd64"
head -c 200000 /dev/urandom > "$release/lib/libvoice.so.5"
printf 'unchanged\n' > "$release/data/kept.txt"
printf 'brand new\n' > "$release/data/new.txt"
printf 'deep\n' > "$release/newdir/sub/file.txt"
# A file that becomes a folder, and a folder that becomes a file.
mkdir -p "$release/manual"
printf 'guide\n' > "$release/manual/guide.txt"
printf 'one skin\n' > "$release/skins"
head -c 30000 /dev/urandom > "$release/plugins/extra.so"
printf '#!/bin/sh\necho started >> "$(dirname "$0")/client-started"\n' > "$release/vxmclient_runscript.sh"
# A new updater: the same program with bytes appended, which a program loader ignores.
{ cat "$program"; printf '\nrelease %s\n' "$version"; } > "$release/update"
printf 'obsolete.txt\nplugins/gone.so\n' > "$work/deletes"
python3 "$(dirname "$0")/../../tools/make_release.py" --key "$servers/keys/test_private.pem" \
  --tree "$release" --version "$version" --out "$work/mirror" \
  --gzip 'lib/*' --gzip 'plugins/*' --delete-list "$work/deletes" >/dev/null

# ---- The installation before the update, with a backup an earlier update left behind ----
mkdir -p "$template/lib" "$template/plugins" "$template/data" "$template/old"
printf 'client v1\n' > "$template/vxmclient_linux_amd64"
printf 'old library\n' > "$template/lib/libvoice.so.5"
printf 'unchanged\n' > "$template/data/kept.txt"
printf 'obsolete\n' > "$template/obsolete.txt"
printf 'gone\n' > "$template/plugins/gone.so"
printf 'manual v1\n' > "$template/manual"
mkdir -p "$template/skins/dark"
printf 'dark\n' > "$template/skins/dark/colors"
printf '#!/bin/sh\necho old >> "$(dirname "$0")/client-started"\n' > "$template/vxmclient_runscript.sh"
printf 'client v0\n' > "$template/old/_old_vxmclient_linux_amd64"
chmod 0755 "$template/vxmclient_runscript.sh"
cp "$program" "$template/update"

# One mirror; each point reaches it through a link of its own, so one point's mirror can be made
# unreachable (the link removed: 404) while the others go on.
TMPDIR=$work/srv python3 "$servers/nginx_serve.py" "$work/served" < "$work/hold" > "$work/port" &
nginx_pid=$!
exec 9> "$work/hold"
deadline=$((SECONDS + 30))
until grep -q '^PORT ' "$work/port" 2>/dev/null; do
  [ $SECONDS -lt $deadline ] || fail "the mirror did not come up"
  sleep 0.1
done
port=$(sed -n 's/^PORT //p' "$work/port")

# The installation as a list: type, mode, path, and the MD5 of a file (the updater's own state
# file update.ini, the mirror list, the client's start marker and the folder old itself, which the
# start-up removes once it is empty, left out).
snapshot() {
  (cd "$1" && find . -mindepth 1 -not -name update.ini -not -name mirrors.ini -not -name client-started \
     -not -path ./old -printf '%y %m %p\n' | sort | while read -r type mode path; do
       if [ "$type" = f ]; then echo "$type $mode $path $(md5sum < "$path" | cut -c1-32)"; else echo "$type $mode $path"; fi
     done)
}

# settle <point dir>: a start that does no update (the version is invalid) but the start-up's clean-up.
settle() {
  local status=0
  (cd "$1" && HOME="$1/home" TMPDIR="$1/tmp" QT_QPA_PLATFORM=offscreen VXM_UPDATE_NO_DIALOGS=1 \
     timeout 60 "$1/inst/update" client_linux_amd64 none) > "$1/settle.out" 2>&1 || status=$?
  [ $status -eq 1 ] || { cat "$1/settle.out" >&2; fail "$(basename "$1"): the start that settles exited with $status"; }
}

# runnable_update <point dir>: the installation's updater is the old or the release's, and runnable.
runnable_update() {
  local update=$1/inst/update
  [ -x "$update" ] && { cmp -s "$update" "$template/update" || cmp -s "$update" "$release/update"; } \
    || fail "$(basename "$1"): no whole, runnable update after the crash: $(ls -l "$update" 2>&1)"
}

# setup <point dir>: a fresh copy of the installation whose mirror is reached through the link
# named after the point.
setup() {
  local dir=$1 name
  name=$(basename "$1")
  mkdir -p "$dir/home" "$dir/tmp"
  cp -a "$template" "$dir/inst"
  printf '[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=http://127.0.0.1:%s/%s\n' "$port" "$name" > "$dir/inst/mirrors.ini"
  ln -sfn "$work/mirror" "$work/served/$name"
}

# start <point dir> <output> [VAR=value...]: starts an unattended run of the point's installation;
# its process id is in $pid.
start() {
  local dir=$1 out=$2; shift 2
  (cd "$dir" && exec env HOME="$dir/home" TMPDIR="$dir/tmp" QT_QPA_PLATFORM=offscreen VXM_UPDATE_NO_DIALOGS=1 "$@" \
     "$dir/inst/update" --nouser client_linux_amd64 "$version" "#" "") > "$out" 2>&1 &
  pid=$!
}

# stop_when <point dir> <output> <what> <test...>: waits while the run ($pid) lives until the test
# succeeds, then kills the run (a failed run without dialogs ends by itself).
stop_when() {
  local dir=$1 out=$2 what=$3 deadline=$((SECONDS + 120))
  shift 3
  until "$@"; do
    kill -0 "$pid" 2>/dev/null || "$@" || { cat "$out" >&2; fail "$(basename "$dir"): the run ended before $what"; }
    [ $SECONDS -lt $deadline ] || { kill -KILL "$pid"; fail "$(basename "$dir"): no $what"; }
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# crash_at <point dir> <output> VAR=value...: runs until the hook holds an operation, then kills.
crash_at() {
  local dir=$1 out=$2 pid
  shift 2
  rm -f "$dir/marker"
  start "$dir" "$out" VXM_FAULT_MARKER="$dir/marker" "$@"
  stop_when "$dir" "$out" "the crash point" test -e "$dir/marker"
}

# run_until_cancelled <point dir> <output>: a run against the unreachable mirror, up to its failure.
run_until_cancelled() {
  local pid
  start "$1" "$2"
  stop_when "$1" "$2" "the failure" grep -q 'Update cancelled' "$2"
}

# run_to_end <point dir> <output> [VAR=value...]: a whole run with the mirror reachable.
run_to_end() {
  local dir=$1 out=$2 pid status=0
  shift 2
  start "$dir" "$out" "$@" timeout 120
  wait "$pid" || status=$?
  [ $status -eq 0 ] || { cat "$out" >&2; fail "$(basename "$dir"): the run after the crash exited with $status"; }
}

# ---- A run without faults: the operations of an update, and the installation it ends with ----
count=$work/points/count
setup "$count"
before=$(snapshot "$count/inst")
run_to_end "$count" "$count/out" VXM_FAULT_LOG="$work/operations"
settle "$count"
(cd "$release" && find . -type f | while read -r f; do
  cmp -s "$f" "$count/inst/$f" || fail "$f differs from the release after a run without faults"
done)
expected=$(snapshot "$count/inst")
! echo "$expected" | grep -q '_old_\|replace.journal' || fail "backups left after a run without faults: $expected"
total=$(wc -l < "$work/operations")
replacing=$(grep -n '^delete ' "$work/operations" | head -n1 | cut -d: -f1)
replacing=$((replacing - 1))
[ "$replacing" -ge 8 ] || fail "only $replacing operations before the clean-up: $(cat "$work/operations")"

# point <name> <how to crash> [VAR=value...]: crash, the start without mirror, the run with it.
#   how: "crash" kills at the hold; "tear" also cuts off the journal's last record; "empty" expects
#   the journal to be empty at the hold; "damage" changes a record in the middle of the journal;
#   "recovery" kills the following start too, during its undo; "foreign" puts a file of the user's at
#   the held file's name (a new file of the release), which no undo may remove.
point() {
  local name=$1 how=$2 dir=$work/points/$1 committed=
  shift 2
  setup "$dir"
  crash_at "$dir" "$dir/crash.out" "$@"
  runnable_update "$dir"
  local journal="$dir/inst/old/replace.journal"
  case $how in
    tear|damage) [ -s "$journal" ] || fail "$name: no journal at the crash point" ;;
    empty) [ -e "$journal" ] && [ ! -s "$journal" ] || fail "$name: no empty journal at the crash point" ;;
  esac
  [ "$how" != tear ] || printf 'P half-written-record' >> "$journal"
  [ "$how" != damage ] || sed -i '2s/.$/x/' "$journal"
  local foreign=
  if [ "$how" = foreign ]; then
    foreign=$dir/inst/$(sed -n 's|^rename .*/inst/||p' "$dir/marker")
    [ ! -e "$foreign" ] || fail "$name: the held rename's target exists already"
    printf "the user's settings\n" > "$foreign"
  fi
  rm -rf "$dir/tmp"/* "$work/served/$name"
  if [ "$how" = recovery ]; then
    crash_at "$dir" "$dir/recovery.out" VXM_FAULT_HOLD_ON=undo VXM_FAULT_HOLD=2
    grep -q 'rolling back file updates' "$dir/recovery.out" || fail "$name: no recovery to crash in"
  fi
  run_until_cancelled "$dir" "$dir/unreachable.out"
  grep -q 'were all replaced' "$dir/unreachable.out" && committed=1
  case $how in
    empty) grep -q 'Removed the rollback journal' "$dir/unreachable.out" || fail "$name: the empty journal was not removed" ;;
    damage)
      grep -q "moved to '$dir/inst/old/unrecovered-" "$dir/unreachable.out" \
        && [ -f "$dir"/inst/old/unrecovered-*/replace.journal ] || fail "$name: the damaged journal was not set aside:
$(cat "$dir/unreachable.out")" ;;
  esac
  local now
  now=$(snapshot "$dir/inst")
  if [ -n "$foreign" ]; then
    [ "$(cat "$foreign")" = "the user's settings" ] && grep -q "Keeping '$foreign'" "$dir/unreachable.out" \
      || fail "$name: the user's file at a new file's name was not kept: $(cat "$dir/unreachable.out")"
    now=$(echo "$now" | grep -v " ./${foreign#"$dir/inst/"} ")
  fi
  if [ "$how" = damage ]; then
    : # without its plan the installation stays as the crash left it, until the next run
  elif [ -n "$committed" ]; then
    # Done in substance: the release, with at most the files it deletes still there.
    diff <(echo "$expected") <(echo "$now" | grep -v ' ./obsolete.txt \| ./plugins/gone.so ') >/dev/null \
      || fail "$name: after a crash behind the replacement the installation is not the release:
$(diff <(echo "$expected") <(echo "$now") || true)"
  else
    [ "$now" = "$before" ] || fail "$name: the start after the crash did not restore the installation:
$(diff <(echo "$before") <(echo "$now") || true)
$(cat "$dir/unreachable.out")"
  fi
  ln -sfn "$work/mirror" "$work/served/$name"
  run_to_end "$dir" "$dir/final.out"
  settle "$dir"
  # What a damaged journal's recovery set aside is kept for the user.
  now=$(snapshot "$dir/inst" | grep -v ' \./old/unrecovered-')
  [ "$now" = "$expected" ] || fail "$name: the run after the crash did not end at the release:
$(diff <(echo "$expected") <(echo "$now") || true)"
  echo "ok $name ($(cat "$dir/marker" 2>/dev/null | tr -d '\n'))${committed:+, completed}"
}

names=()
specs=()
# Every other operation of the replacement (their order varies from run to run), and its last one.
ops=$(seq 1 2 "$replacing")
[ $((replacing % 2)) -eq 1 ] || ops="$ops $replacing"
for k in $ops; do names+=("op$k"); specs+=("crash VXM_FAULT_HOLD=$k"); done
names+=("cleanup-first" "cleanup-last")
specs+=("crash VXM_FAULT_HOLD=$((replacing + 1))" "crash VXM_FAULT_HOLD=$total")
# The last replacement operation fails; the crash comes during the rollback that follows.
names+=("rollback-1" "rollback-3")
specs+=("crash VXM_FAULT_FAIL=$replacing VXM_FAULT_HOLD_ON=undo VXM_FAULT_HOLD=1"
        "crash VXM_FAULT_FAIL=$replacing VXM_FAULT_HOLD_ON=undo VXM_FAULT_HOLD=3")
names+=("torn-record" "crash-in-recovery" "empty-journal" "damaged-journal" "foreign-at-new")
specs+=("tear VXM_FAULT_HOLD=$((replacing - 1))" "recovery VXM_FAULT_HOLD=$((replacing - 2))"
        "empty VXM_FAULT_HOLD_ON=journal VXM_FAULT_HOLD=1" "damage VXM_FAULT_HOLD=$((replacing / 2))"
        "foreign VXM_FAULT_HOLD_FROM=/inst/data/new.txt VXM_FAULT_HOLD_ON=rename VXM_FAULT_HOLD=1")
# The updater replaces itself: before its new content is written, before the installed one is
# kept at its backup name, before the new one takes its place, and just after.
names+=("self-staging" "self-keeping" "self-renaming" "self-renamed")
specs+=("crash VXM_FAULT_HOLD_FROM=/.update.vxmnew VXM_FAULT_HOLD=1" "crash VXM_FAULT_HOLD_FROM=/old/_old_update VXM_FAULT_HOLD=1"
        "crash VXM_FAULT_HOLD_FROM=/inst/update VXM_FAULT_HOLD=1" "crash VXM_FAULT_HOLD_FROM=/inst/update VXM_FAULT_HOLD=2")

# A few points at a time; each result is printed in order as its point ends.
pids=()
failed=0
collect() { # index
  wait "${pids[$1]}" || failed=$((failed + 1))
  cat "$work/points/${names[$1]}.result"
}
for i in "${!names[@]}"; do
  [ "$i" -lt "$parallel" ] || collect $((i - parallel))
  # shellcheck disable=SC2086
  point "${names[$i]}" ${specs[$i]} > "$work/points/${names[$i]}.result" 2>&1 &
  pids+=($!)
done
for i in "${!pids[@]}"; do
  [ "$i" -lt $((${#pids[@]} - parallel)) ] || collect "$i"
done
passed=$((${#names[@]} - failed))
echo "$passed passed, $failed failed ($replacing operations replace files, $total in all)"
[ $failed -eq 0 ]

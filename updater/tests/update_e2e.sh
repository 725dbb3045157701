#!/usr/bin/env bash
# A whole unattended update with the real program: `update` (built with the test key) installed in
# a client installation with old files, three nginx mirrors on loopback serving a signed release,
# and a start script that leaves a marker. Checks the installation against the release, the clean-up
# and the client start; a second run must download no file.
#   update_e2e.sh <update built with the test key> <folder of nginx_serve.py and the test key>
set -euo pipefail
program=$1
servers=$2
version=4711

work=$(mktemp -d "${TMPDIR:-/tmp}/update_e2e.XXXXXX")
client="$work/client installation"   # a blank in the path: the start script must still start
release=$work/release
mirror=$work/mirror
export HOME=$work/home TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$TMPDIR" "$XDG_RUNTIME_DIR" "$work/srv" "$client" "$release"
chmod 700 "$XDG_RUNTIME_DIR"

fail() { echo "FAIL: $*" >&2; exit 1; }

# Three mirrors, each nginx_serve.py holding a fifo open; closing our end stops them all.
mkfifo "$work/hold"
pids=()
cleanup() {
  exec 9>&- 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# ---- The release: new and changed files, a gzip'd library, a new start script, one deletion ----
mkdir -p "$release/lib" "$release/plugins" "$release/data"
printf 'client v%s\n' "$version" > "$release/vxmclient_linux_amd64"
head -c 300000 /dev/urandom > "$release/lib/libvoice.so.5"
printf 'unchanged\n' > "$release/data/kept.txt"
printf 'brand new\n' > "$release/data/new.txt"
head -c 40000 /dev/urandom > "$release/plugins/extra.so"
cat > "$release/vxmclient_runscript.sh" <<'SCRIPT'
#!/bin/sh
echo "client started" >> "$(dirname "$0")/client-started"
SCRIPT
printf 'obsolete.txt\nplugins/gone.so\n' > "$work/deletes"
python3 "$(dirname "$0")/../../tools/make_release.py" --key "$servers/keys/test_private.pem" \
  --tree "$release" --version "$version" --out "$mirror" \
  --gzip 'lib/*' --gzip 'plugins/*' --delete-list "$work/deletes" >/dev/null

# ---- The old installation ----
mkdir -p "$client/lib" "$client/plugins" "$client/data"
printf 'client v1\n' > "$client/vxmclient_linux_amd64"
printf 'old library\n' > "$client/lib/libvoice.so.5"
printf 'unchanged\n' > "$client/data/kept.txt"
printf 'obsolete\n' > "$client/obsolete.txt"
printf 'gone\n' > "$client/plugins/gone.so"
cat > "$client/vxmclient_runscript.sh" <<'SCRIPT'
#!/bin/sh
echo "old script" >> "$(dirname "$0")/client-started"
SCRIPT
chmod 0644 "$client/vxmclient_runscript.sh" "$client/vxmclient_linux_amd64"
cp "$program" "$client/update"
chmod 0755 "$client/update"

for i in 1 2 3; do
  TMPDIR=$work/srv python3 "$servers/nginx_serve.py" "$mirror" < "$work/hold" > "$work/port$i" &
  pids+=($!)
done
exec 9> "$work/hold"
ports=()
for i in 1 2 3; do
  deadline=$((SECONDS + 30))
  until grep -q '^PORT ' "$work/port$i" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "mirror $i did not come up"
    sleep 0.1
  done
  ports+=("$(sed -n 's/^PORT //p' "$work/port$i")")
done
{
  echo "[mirrors]"
  echo "size=3"
  for i in 1 2 3; do echo "$i\\mirror=mirror$i"; done
  for i in 1 2 3; do printf '[mirror%s]\nurl=http://127.0.0.1:%s\n' "$i" "${ports[$((i - 1))]}"; done
} > "$client/mirrors.ini"

run_update() {
  local status=0
  (cd "$work" && QT_QPA_PLATFORM=offscreen VXM_UPDATE_NO_DIALOGS=1 timeout 120 \
     "$client/update" --nouser client_linux_amd64 "$version" "3.6.1" "<b>Fresh</b> news") \
     > "$work/out" 2>&1 || status=$?
  [ $status -eq 0 ] || { cat "$work/out" >&2; fail "update exited with $status"; }
}
wait_for_marker() { # lines
  local deadline=$((SECONDS + 30))
  until [ "$(cat "$client/client-started" 2>/dev/null | wc -l)" -ge "$1" ]; do
    [ $SECONDS -lt $deadline ] || fail "the client was not started"
    sleep 0.1
  done
}

# ---- First run ----
run_update
(cd "$release" && find . -type f | while read -r f; do
  [ "$(md5sum < "$f")" = "$(md5sum < "$client/$f")" ] || fail "$f differs from the release"
done)
for gone in obsolete.txt plugins/gone.so; do
  [ ! -e "$client/$gone" ] || fail "$gone was not deleted"
done
for exe in vxmclient_linux_amd64 vxmclient_runscript.sh lib/libvoice.so.5; do
  mode=$(stat -c %a "$client/$exe")
  [ "$mode" = 755 ] || fail "$exe has mode $mode, not 755"
done
! grep -q '^\[current\]' "$client/update.ini" 2>/dev/null || fail "[current] is still in update.ini"
[ -z "$(ls -A "$TMPDIR" | grep voxmere_temp_ || true)" ] || fail "the temporary folder is left: $(ls "$TMPDIR")"
[ ! -e "$client/old" ] || [ -z "$(ls -A "$client/old")" ] || fail "backups left in old/: $(ls "$client/old")"
wait_for_marker 1
grep -qx "client started" "$client/client-started" || fail "the new start script did not run"
echo "first run: installation equals the release, clean-up done, client started"

# ---- Second run: nothing to download ----
# nginx appends to its logs: emptied now, they hold only the second run's requests.
for log in "$work"/srv/nginx.*/access.log; do : > "$log"; done
run_update
wait_for_marker 2
new=$(cat "$work"/srv/nginx.*/access.log | awk '{print $7}' | sort)
if echo "$new" | grep -v -E "^/$version/client_linux_amd64\.ini(\.sig)?$" | grep -q .; then
  fail "the second run downloaded files: $(echo "$new" | tr '\n' ' ')"
fi
echo "second run: only the product description was fetched ($(echo "$new" | grep -c . || true) requests)"

# ---- Third run: a signature that does not verify, on a machine without a display ----
# Nobody can press "Restart": the run ends by itself, with the reasons on standard error.
printf 'not a signature' > "$mirror/$version/client_linux_amd64.ini.sig"
status=0
(cd "$work" && env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY -u VXM_UPDATE_NO_DIALOGS timeout 120 \
   "$client/update" --nouser client_linux_amd64 "$version") > "$work/out" 2>&1 || status=$?
[ $status -eq 3 ] && grep -q '^Details:$' "$work/out" \
  || { cat "$work/out" >&2; fail "a refused release: exit status $status, not 3 with the details"; }
echo "third run: a refused release ends the run with exit status 3 and its details"
echo "1 passed, 0 failed"

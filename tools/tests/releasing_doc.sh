#!/usr/bin/env bash
# Follows docs/releasing.md literally: runs its ```sh blocks in order, as they stand, in an empty
# folder where SRC names the source tree, after laying out what a publisher brings (the new version's
# files, its change log and delete list, an installation of the old version). Then checks that the
# mirror holds the files and the description the document shows, and that update installed the
# release and started the new client.
#   releasing_doc.sh <source tree>
set -euo pipefail
export SRC=$1
doc=$SRC/docs/releasing.md
work=$(mktemp -d "${TMPDIR:-/tmp}/releasing.XXXXXX")
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

# ccache, where it is at hand, shortens the build; the commands stay as the document writes them.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_DIR=${CCACHE_DIR:-${VXM_BINARY_DIR:-$work}/releasing-ccache}
fi
# A machine without a display, as the document's build machine: nothing is set for update.
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM VXM_UPDATE_NO_DIALOGS

# ---- What the publisher brings ----
mkdir -p new-client/lib new-client/data client/lib client/data
printf 'client 3.6.1\n' > new-client/vxmclient_linux_amd64
head -c 100000 /dev/urandom > new-client/lib/libvoice.so.5
printf 'new in 3.6.1\n' > new-client/data/welcome.txt
printf '#!/bin/sh\necho "3.6.1 started" > "$(dirname "$0")/client-started"\n' > new-client/vxmclient_runscript.sh
printf '3.6.1: a welcome text\n' > changes.txt
printf 'data/obsolete.txt\n' > deletes.txt
printf 'client 3.6.0\n' > client/vxmclient_linux_amd64
printf 'old library\n' > client/lib/libvoice.so.5
printf 'gone in 3.6.1\n' > client/data/obsolete.txt

# ---- The document's steps ----
block() { # info string: the lines of every block fenced with it, in order
  awk -v info="$1" '$0 == "```" info { on = 1; next } $0 == "```" { on = 0 } on' "$doc"
}
block sh > steps.sh
[ -s steps.sh ] || fail "no sh blocks in $doc"
if ! bash -euo pipefail -c 'trap "kill \$(jobs -p) 2>/dev/null || true" EXIT; source steps.sh' > steps.out 2>&1; then
  tail -n 60 steps.out
  fail "a step of docs/releasing.md failed (all steps: $work/steps.sh)"
fi
! grep '^Error: ' steps.out || fail "update showed an error"
grep -qx 'update: exit status 0' steps.out || { tail -n 60 steps.out; fail "update did not end with exit status 0"; }

# ---- What the document shows ----
[ "$(stat -c %s release_public.der)" = 140 ] || fail "the public key is not 140 bytes"
block text | grep '^mirror/' > listing.doc || fail "no listing of the mirror in $doc"
find mirror -type f | LC_ALL=C sort > listing.made
diff -u listing.doc listing.made || fail "the mirror differs from the document's listing"
block text | awk '/^\[client\]$/ { on = 1 } on' > description.doc
[ -s description.doc ] || fail "no product description in $doc"
python3 - description.doc mirror/4712/client_linux_amd64.ini <<'PY' || fail "the description differs from the document's"
import re, sys
shown, made = (open(p).read().splitlines() for p in sys.argv[1:])
pattern = [re.escape(l).replace('<md5>', '[0-9a-f]{32}').replace('<size>', '[0-9]+') for l in shown]
ok = len(shown) == len(made) and all(re.fullmatch(p, l) for p, l in zip(pattern, made))
print('\n'.join(made)) if not ok else None
sys.exit(0 if ok else 1)
PY

# ---- The installation is the new version ----
(cd new-client && find . -type f) | while read -r f; do
  cmp -s "new-client/$f" "client/$f" || fail "$f differs from the release"
done
[ ! -e client/data/obsolete.txt ] || fail "data/obsolete.txt was not deleted"
for _ in $(seq 100); do [ -e client/client-started ] && break; sleep 0.1; done
[ "$(cat client/client-started 2>/dev/null)" = "3.6.1 started" ] || fail "the new client was not started"
rm -rf "$work"
echo "docs/releasing.md: every step ran; update installed the release"

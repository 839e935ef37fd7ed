#!/usr/bin/env bash
# The headless demo, run from a build: it ends with status 0, writes its
# four snapshots and preview, shows what it says it shows, and leaves no
# process behind.
#   demo_headless_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "demo test: $*" >&2; exit 1; }

# Its own session: whatever survives the demo is found by the session id.
# The session's leader outlives the demo until the check is done, so that id
# cannot pass to an unrelated process in between.
mkfifo "$out/release"
FENWRIGHT_DEMO_BUILD=$build FENWRIGHT_DEMO_OUTPUT=$out/demo \
  setsid bash -c '"$1" --headless; echo $? >"$2.tmp"; mv "$2.tmp" "$2"; read -r _ <"$3"' \
  _ "$source_dir/scripts/demo.sh" "$out/status" "$out/release" >"$out/stdout" 2>&1 &
session=$!
release() { [ -n "${session:-}" ] || return 0; echo >"$out/release"; wait "$session" || true; session=; }
trap 'release; rm -rf "$out"' EXIT
until [ -e "$out/status" ]; do
  kill -0 "$session" 2>/dev/null || { cat "$out/stdout" >&2; session=; fail "the demo's session ended early"; }
  sleep 0.1
done
status=$(cat "$out/status")
[ "$status" = 0 ] || { cat "$out/stdout" >&2; fail "exit status $status"; }
# What the demo stopped may take a moment to go; a zombie is gone already
# (PID 1 reaps it when it gets to it).
alive() { ps -o pid=,stat= -s "$session" | awk -v s="$session" '$1 != s && $2 !~ /^Z/ {print $1}'; }
for _ in $(seq 100); do [ -z "$(alive)" ] && break; sleep 0.05; done
left=$(alive)
[ -z "$left" ] || { ps -o pid,ppid,stat,args -p ${left//$'\n'/,} >&2; fail "processes left behind"; }
release

# A PNG's size, from its header.
png_size() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read(24)
assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG'
print('%dx%d' % struct.unpack('>II', data[16:24]))
PY
}
shots=(1-test-pattern 2-window-a 3-after-swap-to-b 4-paused-while-minimised)
for shot in "${shots[@]}"; do
  [ -s "$out/demo/$shot.png" ] || fail "$shot.png was not written"
  [ "$(png_size "$out/demo/$shot.png")" = 640x360 ] || fail "$shot.png is not 640x360"
done
# Each shows something else: the pattern, window A, window B.
! cmp -s "$out/demo/1-test-pattern.png" "$out/demo/2-window-a.png" || fail "pattern and window A are the same"
! cmp -s "$out/demo/2-window-a.png" "$out/demo/3-after-swap-to-b.png" || fail "no swap to window B"
if command -v convert >/dev/null; then
  [ -s "$out/demo/preview.gif" ] || fail "preview.gif was not written"
fi

log=$out/demo/fenwright.log
for line in "test-pattern render timer started" "SCStream started" "in-place filter swap" \
            "→ pause (freeze last frame)" "extension disconnected; shutting down"; do
  grep -q -- "$line" "$log" || { cat "$log" >&2; fail "no \"$line\" in the helper's log"; }
done
grep -q "helper exited with status 0" "$out/stdout" || { cat "$out/stdout" >&2; fail "the helper did not exit 0"; }
echo "demo test: 4 snapshots, preview and log as described"

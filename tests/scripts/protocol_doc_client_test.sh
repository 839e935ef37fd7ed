#!/usr/bin/env bash
# The Python client printed in docs/protocol.md, run as written against the
# helper: it gets the surface and a whole frame, sleeps on the futex (where
# it knows the call) until the next one, and its going away ends the helper
# with status 0.
#   protocol_doc_client_test.sh SOURCE_DIR HELPER_BINARY
set -euo pipefail
doc=$1/docs/protocol.md
helper=$2
work=$(mktemp -d)
pid=
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "protocol doc test: $*" >&2; [ -f "$work/log" ] && cat "$work/log" >&2; exit 1; }

export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_DATA_HOME/Q2WXR7TZ4M.com.quenfield.app" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
echo '{"enabled": true}' >"$XDG_DATA_HOME/Q2WXR7TZ4M.com.quenfield.app/pip-mode-enabled"
"$helper" 2>"$work/log" &
pid=$!
for _ in $(seq 200); do grep -q "listening on" "$work/log" && break; sleep 0.05; done

awk '/^```python$/{on=1; next} /^```$/{on=0} on' "$doc" >"$work/client.py"
[ -s "$work/client.py" ] || fail "no python block in $doc"
out=$(python3 "$work/client.py") || fail "the client failed"
# The test pattern is never black at the centre, and moves all the time.
how=polling
case $(uname -m) in x86_64 | aarch64) how=futex ;; esac
pattern="^640x360, frame ([0-9]+), centre pixel #[0-9a-f]{6}"$'\n'"next frame ([0-9]+), by $how$"
[[ $out =~ $pattern ]] || fail "it printed: $out"
(( BASH_REMATCH[2] > BASH_REMATCH[1] )) || fail "no later frame: $out"
[[ $out != *"#000000"* ]] || fail "the centre is black: $out"

status=0
for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
wait "$pid" || status=$?
[ "$status" = 0 ] || fail "the helper exited $status"
echo "protocol doc test: $out"

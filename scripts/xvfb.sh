# Sourced by the scripts: starts a private Xvfb on a free display and kills
# it (by its own PID) when the calling script exits.
#   start_xvfb [WIDTHxHEIGHT]   sets DISPLAY and XVFB_PID
start_xvfb() {
  local size=${1:-1920x1080}
  local fdfile
  fdfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset +extension Composite \
       +extension DAMAGE +extension RANDR 3>"$fdfile" >/dev/null 2>&1 &
  XVFB_PID=$!
  local n=0
  while [ ! -s "$fdfile" ] && [ $n -lt 100 ]; do sleep 0.05; n=$((n + 1)); done
  if [ ! -s "$fdfile" ]; then
    echo "xvfb: did not start" >&2
    kill "$XVFB_PID" 2>/dev/null
    rm -f "$fdfile"
    return 1
  fi
  export DISPLAY=":$(head -n1 "$fdfile")"
  rm -f "$fdfile"
  trap 'kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null' EXIT
}

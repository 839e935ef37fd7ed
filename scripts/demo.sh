#!/usr/bin/env bash
# Shows Fenwright capturing a window.
#
#   ./scripts/demo.sh               live viewer on your display, of a sample window
#   ./scripts/demo.sh --window ID   ... of a window of yours (see: fenwright-ctl windows)
#   ./scripts/demo.sh --for 20      close the live viewer after 20 seconds
#   ./scripts/demo.sh --headless    no display needed: snapshots under demo-output/
#   ./scripts/demo.sh --wayland     the Wayland backend in a headless GNOME session:
#                                   snapshots under demo-output/ (needs deps.sh --wayland)
#
# Without $DISPLAY the demo is headless. Headless, it starts its own X server
# and window manager, opens a sample window, runs the helper through
# systemd-socket-activate exactly as the installed units do, and writes
# PNG snapshots and an animated preview. Every process it starts is stopped
# when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

headless=0
wayland=0
window=""
view_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --headless) headless=1 ;;
    --wayland) wayland=1 ;;
    --window) window=${2:?--window needs an id}; shift ;;
    --for) view_args=(--exit-after "${2:?--for needs seconds}"); shift ;;
    -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
[ -n "${DISPLAY:-}" ] || headless=1

# FENWRIGHT_DEMO_BUILD: an existing build directory to run (the tests use it).
build=${FENWRIGHT_DEMO_BUILD:-}
if [ -z "$build" ]; then
  ./scripts/deps.sh
  echo "demo: building (release)"
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" >/dev/null
  build=$root/build/release
fi
helper=$build/service/fenwright
ctl=$build/tools/ctl/fenwright-ctl
view=$build/tools/view/fenwright-view
sample=$build/tests/x11/fenwright_test_window

if [ "$wayland" = 1 ]; then
  out=${FENWRIGHT_DEMO_OUTPUT:-$root/demo-output}
  rm -rf "$out" && mkdir -p "$out"
  # The session runs as fenwright-test when we are root: it writes there.
  if [ "$(id -u)" = 0 ]; then
    id -u fenwright-test >/dev/null 2>&1 ||
      useradd --system --no-create-home --shell /usr/sbin/nologin fenwright-test
    chown fenwright-test: "$out"
  fi
  echo "demo: a headless GNOME session; output in $out/"
  ./scripts/wayland_session.sh "$root/scripts/demo_wayland.sh" "$build" "$out"
  cat <<EOF
demo: wrote, in $out/
  1-wayland-window-blue.png        a native Wayland window, picked once, fitted with bars
  2-wayland-swap-to-red.png        another window swapped in place, no dialog
  3-wayland-region-top-half.png    the top half of the screen, between black bands
EOF
  exit 0
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A private container and runtime directory: the demo never touches yours.
export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
socket=$XDG_RUNTIME_DIR/Q2WXR7TZ4M.com.quenfield.app.pipmode

# open_sample NAME SIZE COLORS: a sample window fed commands through $work/NAME.in.
open_sample() {
  local name=$1
  mkfifo "$work/$name.in"
  "$sample" --title "$2" --size "$3" --colors "$4" <"$work/$name.in" >"$work/$name.out" 2>&1 &
  pids+=($!)
  exec {fd}<>"$work/$name.in"
  eval "${name}_fd=$fd"
  local n=0
  until grep -q '^window ' "$work/$name.out" 2>/dev/null; do
    sleep 0.05; n=$((n + 1))
    [ $n -lt 100 ] || { echo "demo: the sample window did not open" >&2; exit 1; }
  done
  eval "${name}_id=$(awk '/^window /{print $2; exit}' "$work/$name.out")"
}
tell() { local fd_var=${1}_fd; echo "$2" >&"${!fd_var}"; }

start_helper() {
  # The installed fenwright.socket hands the helper its socket the same way,
  # and, like the user manager, passes on only the environment it is told.
  systemd-socket-activate --seqpacket -l "$socket" \
    -E XDG_DATA_HOME -E XDG_RUNTIME_DIR -E DISPLAY "$helper" 2>"$work/fenwright.log" &
  helper_pid=$!
  pids+=("$helper_pid")
  local n=0
  until [ -S "$socket" ]; do sleep 0.02; n=$((n + 1)); [ $n -lt 250 ] || exit 1; done
}

if [ "$headless" = 0 ]; then
  if [ -z "$window" ]; then
    open_sample a "Fenwright sample" 960x540 E03030,30B040,3050E0,F0C020
    tell a "animate 2"
    window=$a_id
  fi
  "$ctl" window "$window"
  start_helper
  echo "demo: live view of window $window — press q in the viewer to end"
  "$view" "${view_args[@]}" || true
  wait "$helper_pid" && status=0 || status=$?
  echo "demo: helper exited with status $status; its log:"
  grep ' fenwright\[' "$work/fenwright.log" | sed 's/^.*:\(main\|buffer\)\] /  /'
  exit 0
fi

source scripts/xvfb.sh
start_xvfb 1280x720
pids+=("$XVFB_PID")
trap cleanup EXIT
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 0.5
out=${FENWRIGHT_DEMO_OUTPUT:-$root/demo-output}
rm -rf "$out" && mkdir -p "$out"
echo "demo: X server $DISPLAY with openbox; output in $out/"

open_sample a "Sample A" 1280x720 E03030,30B040,3050E0,F0C020
open_sample b "Sample B" 720x720 20C0C0,C020C0,F0F0F0,404040
tell a "animate 4"

# Nothing picked yet: the helper draws its test pattern.
mkdir -p "$XDG_DATA_HOME/Q2WXR7TZ4M.com.quenfield.app"
printf '{"enabled":true}\n' >"$work/pattern.json"
mv "$work/pattern.json" "$XDG_DATA_HOME/Q2WXR7TZ4M.com.quenfield.app/pip-mode-enabled"
start_helper

# One client for the whole run: the helper exits when it disconnects.
"$view" --snapshot "$work/frame.png" --count 70 --interval 100 >/dev/null &
view_pid=$!
pids+=("$view_pid")

wait_log() {
  local n=0
  until grep -q "$1" "$work/fenwright.log"; do
    sleep 0.05; n=$((n + 1))
    [ $n -lt 200 ] || { echo "demo: no \"$1\" in the log" >&2; cat "$work/fenwright.log" >&2; exit 1; }
  done
}
# Snapshots are picked by what the log says has happened, however slowly
# it happens: the frame taken a little (8 frames, 100 ms apart) after it.
wait_frame() {
  local n=0
  until [ -e "$work/frame-$1.png" ]; do
    sleep 0.05; n=$((n + 1))
    [ $n -lt 400 ] || { echo "demo: the viewer stopped before frame $1" >&2; exit 1; }
  done
}
frame_after_now() {
  local n=1
  while [ -e "$work/frame-$((n + 1)).png" ]; do n=$((n + 1)); done
  wait_frame $((n + 8))
  echo $((n + 8))
}
pattern_shot=$(frame_after_now)
"$ctl" window "$a_id" >/dev/null      # pattern → window: a fresh stream
wait_log "SCStream started"
a_shot=$(frame_after_now)
"$ctl" window "$b_id" >/dev/null      # window → window: swapped in place
wait_log "in-place filter swap"
b_shot=$(frame_after_now)
tell b "iconify"                      # minimised: the last frame stays
wait_log "→ pause"
tell b "colors 000000,000000,000000,000000"
paused_shot=$(frame_after_now)
wait "$view_pid" || { echo "demo: fenwright-view failed" >&2; exit 1; }
wait "$helper_pid" && status=0 || status=$?

cp "$work/frame-$pattern_shot.png" "$out/1-test-pattern.png"
cp "$work/frame-$a_shot.png" "$out/2-window-a.png"
cp "$work/frame-$b_shot.png" "$out/3-after-swap-to-b.png"
cp "$work/frame-$paused_shot.png" "$out/4-paused-while-minimised.png"
cp "$work/fenwright.log" "$out/fenwright.log"
im=$(command -v /usr/bin/convert || command -v convert || true)
if [ -n "$im" ]; then
  frames=()
  for i in $(seq 1 70); do frames+=("$work/frame-$i.png"); done
  "$im" -delay 10 -loop 0 "${frames[@]}" -resize 50% "$out/preview.gif"
fi

echo "demo: the helper's log (also in $out/fenwright.log):"
grep ' fenwright\[' "$work/fenwright.log" | sed 's/^.*:\(main\|buffer\)\] /  /'
echo "demo: helper exited with status $status after its client disconnected"
cat <<EOF
demo: wrote, in $out/
  1-test-pattern.png            nothing picked: the moving test pattern
  2-window-a.png                window A (1280×720) fitted to the full width
  3-after-swap-to-b.png         window B (720×720) after an in-place swap, bars left and right
  4-paused-while-minimised.png  B minimised and repainted black: the last frame stays
EOF
[ -z "$im" ] || echo "  preview.gif                   the whole run, 7 s"

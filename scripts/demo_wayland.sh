#!/usr/bin/env bash
# The Wayland half of ./scripts/demo.sh --wayland, run inside
# ./scripts/wayland_session.sh: two native windows of one colour, picked
# once (the picks written as the portal stores them after its dialog), the
# helper following the blue one, swapped to the red one in place, then a
# region of the screen; snapshots of what the client sees.
#   demo_wayland.sh BUILD_DIR OUTPUT_DIR
set -euo pipefail
build=$1
out=$2
helper=$build/service/fenwright
ctl=$build/tools/ctl/fenwright-ctl
view=$build/tools/view/fenwright-view

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state
container=$XDG_DATA_HOME/Q2WXR7TZ4M.com.quenfield.app
mkdir -p "$container"

# open_window NAME RRGGBB: a terminal showing nothing but its background.
open_window() {
  foot --app-id "fenwright-$1" --title "Fenwright $1" -o "colors.background=$2" \
    -o "colors.foreground=$2" -o "cursor.color=$2 $2" -- sh -c "touch $work/$1; exec sleep 600" \
    >/dev/null 2>&1 &
  pids+=($!)
  local n=0
  until [ -e "$work/$1" ]; do sleep 0.05; n=$((n + 1)); [ $n -lt 200 ] || exit 1; done
  sleep 0.5
}
# permit STREAM: a new restore token for a pick of STREAM, in GNOME's form.
permit() {
  local token
  token=$(cat /proc/sys/kernel/random/uuid)
  gdbus call --session --dest org.freedesktop.impl.portal.PermissionStore \
    --object-path /org/freedesktop/impl/portal/PermissionStore \
    --method org.freedesktop.impl.portal.PermissionStore.Set screencast true "$token" \
    "{'': ['yes']}" "<('GNOME', uint32 1, <(int64 0, int64 0, [$1])>)>" >/dev/null
  echo "$token"
}
pick_id() {  # the id the helper lists a pick under (FNV-1a of the token)
  local h=2166136261 i c
  for ((i = 0; i < ${#1}; i++)); do
    printf -v c '%d' "'${1:i:1}"
    h=$(( ((h ^ c) * 16777619) & 0xFFFFFFFF ))
  done
  echo $((h == 0 ? 1 : h))
}
sentinel() { echo "$1" >"$work/s.json" && mv "$work/s.json" "$container/pip-mode-enabled"; }
window_sentinel() {
  sentinel "{\"enabled\":true,\"source\":\"window\",\"window_id\":$(pick_id "$1"),\"window_title\":\"$2\",\"portal_restore_token\":\"$1\"}"
}
wait_log() {
  local n=0
  until grep -q "$1" "$work/fenwright.log"; do
    sleep 0.05; n=$((n + 1))
    [ $n -lt 400 ] || { echo "demo: no \"$1\" in the log" >&2; cat "$work/fenwright.log" >&2; exit 1; }
  done
}
shot() {  # the frame taken 8 frames (0.8 s) after now
  local n=1 m
  while [ -e "$work/frame-$((n + 1)).png" ]; do n=$((n + 1)); done
  m=$((n + 8))
  until [ -e "$work/frame-$m.png" ]; do sleep 0.05; done
  cp "$work/frame-$m.png" "$out/$1"
}

open_window blue 0000ff
open_window red ff0000
blue=$(permit "(uint32 0, uint32 2, <('fenwright-blue.desktop', 'Fenwright blue')>)")
red=$(permit "(uint32 0, uint32 2, <('fenwright-red.desktop', 'Fenwright red')>)")
screen=$(permit "(uint32 0, uint32 1, <'MetaVendor:MetaVirtualMonitor:0x00'>)")

window_sentinel "$blue" "Fenwright blue"
"$helper" 2>"$work/fenwright.log" &
helper_pid=$!
pids+=("$helper_pid")
wait_log "listening on"
"$view" --snapshot "$work/frame.png" --count 60 --interval 100 >/dev/null &
view_pid=$!
pids+=("$view_pid")
wait_log "SCStream started"
shot 1-wayland-window-blue.png
window_sentinel "$red" "Fenwright red"     # swapped in place, no dialog
wait_log "in-place filter swap"
shot 2-wayland-swap-to-red.png
sentinel "{\"enabled\":true,\"source\":\"region\",\"region_x\":0,\"region_y\":0,\"region_width\":1280,\"region_height\":360,\"portal_restore_token\":\"$screen\"}"
wait_log "SCStream started — region"
shot 3-wayland-region-top-half.png
wait "$view_pid" || true
wait "$helper_pid" || true
cp "$work/fenwright.log" "$out/fenwright-wayland.log"
grep ' fenwright\[' "$work/fenwright.log" | sed 's/^.*:\(main\|buffer\)\] /  /'

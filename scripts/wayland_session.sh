#!/usr/bin/env bash
# Runs a command inside a headless GNOME Wayland session of its own: a
# private system bus, a private session bus, PipeWire + WirePlumber,
# gnome-shell on a 1280x720 virtual monitor, and the ScreenCast portal.
#   ./scripts/wayland_session.sh COMMAND [ARG...]
# The command sees WAYLAND_DISPLAY, DBUS_SESSION_BUS_ADDRESS and
# XDG_RUNTIME_DIR of that session (DISPLAY is unset). Everything started is
# stopped by its pid afterwards; the command's status is the script's.
# Run as root, the session runs as the ordinary user fenwright-test (created
# when missing): gnome-shell refuses root, and so would a real desktop.
# Needs: ./scripts/deps.sh --wayland
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != --inside ]; then
  if [ "$(id -u)" = 0 ]; then
    user=fenwright-test
    id -u "$user" >/dev/null 2>&1 ||
      useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
    home=$(mktemp -d)
    runtime=$(mktemp -d)
    chown "$user:" "$home" "$runtime"
    chmod 700 "$home" "$runtime"
    mkdir -p "$home/.local/share/applications"
    chown -R "$user:" "$home"
    status=0
    setpriv --reuid="$user" --regid="$user" --clear-groups -- \
      env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
      HOME="$home" USER="$user" LOGNAME="$user" XDG_RUNTIME_DIR="$runtime" \
      "$here/wayland_session.sh" "$@" || status=$?
    rm -rf "$home" "$runtime"
    exit "$status"
  fi
  own_runtime=
  if [ -z "${XDG_RUNTIME_DIR:-}" ] || [ ! -d "$XDG_RUNTIME_DIR" ]; then
    XDG_RUNTIME_DIR=$(mktemp -d)
    own_runtime=$XDG_RUNTIME_DIR
  fi
  # A runtime directory of the session's own, so its sockets (wayland-0,
  # pipewire-0, the buses) never meet a real desktop's.
  session_dir=$(mktemp -d "$XDG_RUNTIME_DIR/wl-session.XXXXXX")
  chmod 700 "$session_dir"
  export XDG_RUNTIME_DIR=$session_dir
  system_bus_pid=$(dbus-daemon --session --address="unix:path=$session_dir/system_bus" \
                     --fork --print-pid --nopidfile)
  export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$session_dir/system_bus"
  # Stopped however this script ends, a timeout's signal included.
  trap 'kill "$system_bus_pid" 2>/dev/null; rm -rf "$session_dir" ${own_runtime:+"$own_runtime"}' EXIT
  trap 'exit 143' TERM INT
  status=0
  # The bus daemons' chatter about activations stays out of the caller's log.
  env -u DISPLAY -u WAYLAND_DISPLAY dbus-run-session -- "$0" --inside "$@" \
    2> >(grep --line-buffered -v '^dbus-daemon\[' >&2) || status=$?
  exit "$status"
fi
shift

pids=()
stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[$i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT

logs=${WAYLAND_SESSION_LOGS:-/dev/null}
export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=wayland GSETTINGS_BACKEND=memory
export NO_AT_BRIDGE=1 GTK_A11Y=none
# The tests' windows are apps the shell knows (a window's app id is what a
# pick remembers it by).
export XDG_DATA_DIRS="$here/../tests/wayland/data:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"

wait_for() {  # wait_for WHAT TEST...  (up to 30 s: a loaded machine is slow)
  local what=$1 n=0
  shift
  until "$@" >/dev/null 2>&1; do
    n=$((n + 1))
    if [ $n -gt 300 ]; then echo "wayland-session: $what did not come up" >&2; return 1; fi
    sleep 0.1
  done
}
has_name() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner "$1" | grep -q true
}

pipewire >>"$logs" 2>&1 &
pids+=($!)
wait_for pipewire test -S "$XDG_RUNTIME_DIR/pipewire-0"
wireplumber >>"$logs" 2>&1 &
pids+=($!)
gnome-shell --headless --wayland --no-x11 --virtual-monitor 1280x720 >>"$logs" 2>&1 &
pids+=($!)
wait_for gnome-shell test -S "$XDG_RUNTIME_DIR/wayland-0"
export WAYLAND_DISPLAY=wayland-0
wait_for "the screen cast service" has_name org.gnome.Mutter.ScreenCast
/usr/libexec/xdg-desktop-portal-gnome >>"$logs" 2>&1 &
pids+=($!)
wait_for "the GNOME portal" has_name org.freedesktop.impl.portal.desktop.gnome
/usr/libexec/xdg-desktop-portal >>"$logs" 2>&1 &
pids+=($!)
wait_for "the portal" has_name org.freedesktop.portal.Desktop

status=0
"$@" || status=$?
exit "$status"

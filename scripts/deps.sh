#!/usr/bin/env bash
# Installs the Debian packages Fenwright builds, tests and demos with.
# Only missing packages are installed; silent when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libasio-dev libspdlog-dev nlohmann-json3-dev
  libxcb1-dev libxcb-composite0-dev libxcb-shm0-dev libxcb-damage0-dev
  libxcb-xfixes0-dev libxcb-randr0-dev libxcb-icccm4-dev
  libsystemd-dev libspng-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev libyuv-dev
  xvfb xauth openbox xdotool x11-xserver-utils x11-utils systemd
  imagemagick dpkg-dev procps python3
  libpipewire-0.3-dev
)
# ./scripts/deps.sh --wayland: a headless GNOME session with PipeWire and the
# ScreenCast portal, and a native Wayland client, for the Wayland tests.
if [ "${1:-}" = --wayland ]; then
  packages+=(gnome-shell pipewire wireplumber dbus-daemon dbus-bin libglib2.0-bin
             xdg-desktop-portal xdg-desktop-portal-gnome foot)
fi
# ./scripts/deps.sh --bench: also the peers the benchmarks compare against.
if [ "${1:-}" = --bench ]; then
  packages+=(gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-pipewire
            ffmpeg)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq >/dev/null
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

#!/usr/bin/env bash
# Runs every benchmark with its peers in one go and writes bench/report.md
# (tables with their goals) and bench/startup-latency.png (a histogram).
# The helper, gst-launch-1.0 and ffmpeg run as a user runs them, on one Xvfb.
#   ./scripts/bench.sh                    about nine minutes
#   BENCH_SECONDS=30 ./scripts/bench.sh   longer CPU measurements (10 s each by default)
#   ./scripts/bench.sh --only wayland     just the Wayland backend's part, printed
#   BENCH_BASELINE=<commit> ./scripts/bench.sh   also that commit's in-process
#     benches, run in turn with these: a table of both (about ten minutes more;
#     its build stays in build/baseline-<commit>)
# The Wayland backend is measured in a headless GNOME session when its
# packages are there (./scripts/deps.sh --wayland), and skipped otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
only=
if [ "${1:-}" = --only ]; then only=${2:-}; fi
./scripts/deps.sh --bench
source scripts/xvfb.sh

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target fenwright fenwright_bench_client \
  fenwright_stamp_window fenwright_render_bench fenwright_ipc_bench fenwright_x11_grab_bench \
  fenwright_test_window fenwright_portal_peer >/dev/null
build=build/release
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
run() { echo "bench: [${SECONDS}s] $1" >&2; }

# Writes $results/wayland.json, or $results/wayland-skipped.txt saying why not.
wayland_part() {
  local tool
  for tool in gnome-shell pipewire wireplumber foot /usr/libexec/xdg-desktop-portal-gnome; do
    if ! command -v "$tool" >/dev/null; then
      echo "$tool is not installed (./scripts/deps.sh --wayland)" >"$results/wayland-skipped.txt"
      echo "bench: Wayland backend skipped: $tool is not installed (./scripts/deps.sh --wayland)" >&2
      return 0
    fi
  done
  run "the Wayland backend beside gst-launch-1.0 pipewiresrc, headless GNOME"
  # Run as root, the session belongs to another user: it writes here.
  local out
  out=$(mktemp -d)
  chmod 777 "$out"
  if XDG_DATA_DIRS="$PWD/bench/wayland/data:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}" \
      scripts/wayland_session.sh python3 bench/wayland/wayland_bench.py "$build" "$out/wayland.json" &&
      [ -s "$out/wayland.json" ]; then
    cp "$out/wayland.json" "$results/wayland.json"
  else
    echo "the headless GNOME session or its runs failed" >"$results/wayland-skipped.txt"
    echo "bench: Wayland backend: the headless GNOME session or its runs failed" >&2
  fi
  rm -rf "$out"
}

# Builds $1's in-process benches in a worktree of their own under build/
# (kept for the next run) and runs them in turn with ours, three rounds of
# three repetitions each, so that both meet the same neighbours.
baseline_part() {
  local tree="$PWD/build/baseline-$1" round side dir bench
  run "the in-process benches beside $1's"
  [ -d "$tree" ] || git worktree add --detach -q "$tree" "$1"
  (cd "$tree" && cmake --preset release >/dev/null &&
    cmake --build --preset release -j "$(nproc)" --target fenwright_render_bench \
      fenwright_ipc_bench fenwright_x11_grab_bench >/dev/null)
  for round in 1 2 3; do
    for side in then now; do
      dir=$build
      [ "$side" = then ] && dir=$tree/build/release
      for bench in render/fenwright_render_bench ipc/fenwright_ipc_bench \
        x11/fenwright_x11_grab_bench; do
        "$dir/bench/$bench" --benchmark_filter=-scaleSweep --benchmark_repetitions=3 \
          --benchmark_out="$results/baseline-$side-$round-${bench%%/*}.json" \
          --benchmark_out_format=json >/dev/null
      done
    done
  done
  git -C "$tree" rev-parse --short HEAD >"$results/baseline-commit.txt"
}

if [ "$only" = wayland ]; then
  wayland_part
  python3 bench/report.py --wayland "$results"
  exit 0
fi

start_xvfb 1920x1080
trap 'kill "$XVFB_PID" 2>/dev/null; rm -rf "$results"' EXIT

run "the helper beside gst-launch-1.0 and ffmpeg: CPU, latency, first frame"
python3 bench/e2e/capture_bench.py "$build" "$XVFB_PID" "$results/capture.json"
run "scaling and composition (render)"
# Five repetitions: the report takes the least of each, the peers' too.
"$build/bench/render/fenwright_render_bench" --benchmark_format=json --benchmark_repetitions=5 \
  --benchmark_out="$results/render.json" --benchmark_out_format=json >/dev/null
run "surface fetch round trips (ipc)"
"$build/bench/ipc/fenwright_ipc_bench" --benchmark_format=json \
  --benchmark_out="$results/ipc.json" --benchmark_out_format=json >/dev/null
run "X11 grab cost"
"$build/bench/x11/fenwright_x11_grab_bench" --benchmark_format=json \
  --benchmark_out="$results/x11_grab.json" --benchmark_out_format=json >/dev/null
run "helper memory while the captured window grows"
python3 bench/x11/window_memory.py "$build/service/fenwright" \
  "$(find "$build" -name fenwright_test_window -type f | head -1)" >"$results/window_memory.md"
run "helper start to listening"
python3 bench/e2e/startup_latency.py "$build/service/fenwright" 200 "$results/startup.json"
wayland_part
if [ -n "${BENCH_BASELINE:-}" ]; then baseline_part "$BENCH_BASELINE"; fi

python3 bench/report.py "$results" bench/report.md bench/startup-latency.png
echo "bench: wrote bench/report.md and bench/startup-latency.png"

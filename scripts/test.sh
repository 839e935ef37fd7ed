#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Non-zero on failure.
#   ./scripts/test.sh            debug build, the whole suite
#   PRESETS="debug asan tsan" ./scripts/test.sh   more builds, one after another
#   FUZZ_SECONDS=0 ./scripts/test.sh              skip the fuzzers (default 30 s each)
# Run as root (as CI is), the suites that run whole processes run as the
# ordinary user fenwright-test (created when missing) under `ulimit -n
# 1024`, as a systemd user service would: root is exempt from the kernel's
# per-user limits, such as the descriptors it may have in flight.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh --wayland
source scripts/xvfb.sh

presets=${PRESETS:-debug}
jobs=$(nproc)

start_xvfb 1920x1080
echo "test: Xvfb on $DISPLAY"

user_tests='^(process|soak|tools|scripts|x11)\.'
# Run inside a headless GNOME session of their own, one at a time.
wayland_tests='^wayland\.'
test_user=fenwright-test
if [ "$(id -u)" = 0 ]; then
  id -u "$test_user" >/dev/null 2>&1 ||
    useradd --system --no-create-home --shell /usr/sbin/nologin "$test_user"
  user_home=$(mktemp -d)
  user_runtime=$(mktemp -d)
  chown "$test_user:" "$user_home" "$user_runtime"
  chmod 700 "$user_home" "$user_runtime"
  trap 'kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; rm -rf "$user_home" "$user_runtime"' EXIT
fi
# ctest as the test user, in its own home and runtime directory.
as_test_user() {
  setpriv --reuid="$test_user" --regid="$test_user" --clear-groups -- \
    env HOME="$user_home" USER="$test_user" LOGNAME="$test_user" XDG_RUNTIME_DIR="$user_runtime" \
    bash -c 'ulimit -n 1024 && exec "$@"' _ "$@"
}

failed=0
for preset in $presets; do
  echo "test: building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "test: running $preset"
  if [ "$(id -u)" != 0 ]; then
    ctest --preset "$preset" -j "$jobs" --timeout 300 -E "$wayland_tests" || failed=1
    ./scripts/wayland_session.sh ctest --preset "$preset" --timeout 300 -R "$wayland_tests" || failed=1
    continue
  fi
  ctest --preset "$preset" -j "$jobs" --timeout 300 -E "$user_tests|$wayland_tests" || failed=1
  # ctest keeps its logs in the build tree; the rest of it is only read.
  mkdir -p "build/$preset/Testing"
  chown -R "$test_user:" "build/$preset/Testing"
  # A checkout under a private directory (/root, a 0700 home) is out of the
  # test user's reach: let it through the parents, never list them.
  dir=
  IFS=/ read -ra parts <<<"${PWD#/}"
  for part in "${parts[@]}"; do
    dir=$dir/$part
    if ! as_test_user test -x "$dir"; then
      echo "test: letting $test_user through $dir (o+x)"
      chmod o+x "$dir"
    fi
  done
  as_test_user test -r "build/$preset/CTestTestfile.cmake" || {
    echo "test: $test_user cannot read $PWD/build/$preset (make it and its parents world-readable)" >&2
    exit 1
  }
  echo "test: running $preset as $test_user (ulimit -n 1024): $user_tests"
  as_test_user ctest --preset "$preset" -j "$jobs" --timeout 300 -R "$user_tests" || failed=1
  echo "test: running $preset in a headless GNOME session as $test_user: $wayland_tests"
  ./scripts/wayland_session.sh ctest --preset "$preset" --timeout 300 -R "$wayland_tests" || failed=1
done
[ "$failed" = 0 ] || { echo "test: some tests failed" >&2; exit 1; }

# Last: the fuzz build is a separate clang configuration.
if [ "${FUZZ_SECONDS:-30}" != 0 ]; then
  ./scripts/fuzz.sh
fi

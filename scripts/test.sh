#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Non-zero on failure.
#   ./scripts/test.sh            debug build, the whole suite
#   PRESETS="debug asan tsan" ./scripts/test.sh   more builds, one after another
#   FUZZ_SECONDS=0 ./scripts/test.sh              skip the fuzzers (default 30 s each)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
source scripts/xvfb.sh

presets=${PRESETS:-debug}
jobs=$(nproc)

start_xvfb 1920x1080
echo "test: Xvfb on $DISPLAY"

for preset in $presets; do
  echo "test: building $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "test: running $preset"
  ctest --preset "$preset" -j "$jobs" --timeout 300
done

# Last: the fuzz build is a separate clang configuration.
if [ "${FUZZ_SECONDS:-30}" != 0 ]; then
  ./scripts/fuzz.sh
fi

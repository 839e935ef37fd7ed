#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang, ASan + UBSan) and
# runs each for a bounded time on a scratch copy of its seed corpus, so the
# repository is never modified. Non-zero on any crash, leak, timeout or OOM.
#   ./scripts/fuzz.sh                      every target, FUZZ_SECONDS (30) each
#   FUZZ_SECONDS=300 ./scripts/fuzz.sh client_reply_fuzzer
# Inputs that fail are kept in build/fuzz/artifacts/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

seconds=${FUZZ_SECONDS:-30}
jobs=$(nproc)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(sentinel_fuzzer ipc_request_fuzzer client_reply_fuzzer)

echo "fuzz: building"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Leaks fail the run like crashes; UBSan findings are fatal, with a stack.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
for target in "${targets[@]}"; do
  name=${target%_fuzzer}
  corpus="$scratch/$name"
  artifacts="build/fuzz/artifacts/$target/"
  mkdir -p "$corpus" "$artifacts"
  cp -R "tests/fuzz/corpus/$name/." "$corpus/"
  log="$scratch/$target.log"
  echo "fuzz: running $target for ${seconds}s"
  # -seed=1: the same inputs in the same order on every machine.
  if build/fuzz/tests/fuzz/"$target" -seed=1 -max_total_time="$seconds" -rss_limit_mb=2048 \
       -timeout=30 -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$artifacts" \
       "$corpus" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units)' "$log" | sed "s/^/fuzz: $target: /" || true
  else
    echo "fuzz: $target FAILED; the end of its log:" >&2
    tail -n 60 "$log" >&2
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi

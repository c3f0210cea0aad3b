#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, the `fuzz` preset) and runs each for a
# bounded time on a scratch copy of its committed corpus, so nothing is
# written into the checkout. Fails on the first crash, leak or sanitizer
# report; the reproducer is left in the scratch directory, whose path is
# printed.
#
#   FUZZ_SECONDS   time per fuzzer (default 30)
#   FUZZ_JOBS      build parallelism (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-30}"
jobs="${FUZZ_JOBS:-2}"

cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/kelvo-fuzz.XXXXXX")"
echo "fuzz: scratch directory $scratch"

export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:abort_on_error=1:print_stacktrace=1}"

run_fuzzer() {
  local name="$1" corpus="$2"
  local work="$scratch/$name"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -R "$corpus"/. "$work/corpus/"
  echo "fuzz: $name for ${seconds}s on $(ls "$work/corpus" | wc -l) seed inputs"
  # One process, so a finding stops the run at once and the log stays short.
  if ! "build-fuzz/bin/$name" "$work/corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/" >"$work/log" 2>&1; then
    tail -n 60 "$work/log"
    echo "fuzz: $name FAILED; reproducer in $work/artifacts/" >&2
    return 1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$work/log" | sed "s/^/fuzz: $name /"
  echo "fuzz: $name found nothing; corpus grew to $(ls "$work/corpus" | wc -l) inputs"
}

run_fuzzer kelvo_image_fuzzer fuzz/image/corpus
run_fuzzer kelvo_link_fuzzer fuzz/link/corpus
rm -rf "$scratch"

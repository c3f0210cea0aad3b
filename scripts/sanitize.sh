#!/usr/bin/env bash
# Builds the `asan` preset (AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer, no recovery) and runs the whole test suite under
# it. Any report fails the run: ASan and UBSan abort the test that hit it, and
# ctest counts that test as failed.
#
#   KELVO_JOBS   build parallelism (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="${KELVO_JOBS:-2}"

cmake --preset asan
cmake --build --preset asan -j "$jobs"

# Leaks stay on; scripts/lsan.supp names the few that belong to the system's
# libraries, not to this program.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
# An unoptimised, instrumented build runs the fault campaign about thirty times
# slower; a shorter campaign on seeds the default build does not run keeps the
# whole run within minutes and widens what CI covers.
export KELVO_CAMPAIGN_FIRST_SEED="${KELVO_CAMPAIGN_FIRST_SEED:-100001}"
export KELVO_CAMPAIGN_RUNS="${KELVO_CAMPAIGN_RUNS:-120}"
# The sweep of single failing calls tries one position in 7: a step prime to
# the calls of one page (2 purges, 3 writes, 5 reads) still reaches each of
# them on some page.
export KELVO_CAMPAIGN_SWEEP_STEP="${KELVO_CAMPAIGN_SWEEP_STEP:-7}"
ctest --preset asan | tee build-asan/ctest.log

#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer), writes the seed corpora, and runs every target in turn for the
# given number of seconds on one core. Fails when any target finds a crash,
# a hang, a leak or a sanitizer report; the reproducer lands in
# fuzz/artifacts/ and the end of the target's log is printed.
#
# Usage: fuzz/run.sh [seconds per target] [target ...]   (default 30, all)
# Environment: FUZZ_BUILD_DIR (default build/fuzz), FUZZ_CXX (default clang++).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
shift || true
build="${FUZZ_BUILD_DIR:-build/fuzz}"

cmake -S . -B "$build" -G Ninja -DQUARLET_FUZZ=ON -DQUARLET_PYTHON=OFF -DQUARLET_TESTS=OFF \
  -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" -DQUARLET_SANITIZE=address,undefined \
  -DQUARLET_WERROR="${QUARLET_WERROR:-ON}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

python3 fuzz/make_seeds.py fuzz/corpus

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

mkdir -p fuzz/artifacts
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
for t in "${targets[@]}"; do
  mkdir -p "fuzz/corpus/$t"
  echo "== $t: ${seconds}s" >&2
  # One process, one core; -timeout catches hangs (a single input taking
  # more than 10 s), -rss_limit_mb runaway allocations.
  if ! "$build/$t" "fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -max_len=1048576 -print_final_stats=1 \
       -artifact_prefix="fuzz/artifacts/$t-" 2> "fuzz/artifacts/$t.log"; then
    echo "!! $t failed; last lines of fuzz/artifacts/$t.log:" >&2
    tail -n 60 "fuzz/artifacts/$t.log" >&2
    status=1
    continue
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|stat::slowest_unit_time_sec|stat::peak_rss_mb' \
    "fuzz/artifacts/$t.log" >&2 || true
done
exit "$status"

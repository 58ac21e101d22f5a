#!/usr/bin/env bash
# Builds everything with clang, AddressSanitizer and UndefinedBehaviorSanitizer (the fuzz
# targets too) and runs the whole test suite on that build; then the parallel tests on a
# ThreadSanitizer build. A sanitizer report fails the run, also one written by a measconv
# process that a test started and whose exit code it ignores. Ends with the failed tests and the
# sanitizer reports' summaries, if any, and "sanitize: PASSED" or "sanitize: FAILED".
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/ensure-tools.sh --full

jobs=$(nproc 2>/dev/null || echo 2)
build=build-sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMEASCONV_SANITIZE=ON -DMEASCONV_BUILD_FUZZERS=ON -DMEASCONV_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j "$jobs"

reports=$(mktemp -d)
results=$(mktemp -d)
trap 'rm -rf "$reports" "$results"' EXIT
status=0
# The clients of the HDF5 file (label clients) read what the writer wrote; they run in the
# ordinary suite only.
ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
TZ=UTC ctest --test-dir "$build" --output-on-failure -j "$jobs" -LE 'large|clients|faults' --output-junit "$results/asan.xml" || status=$?

# ThreadSanitizer on the parallel conversions: measconv and the parallel tests alone, in a
# build of their own (the whole suite would take too long there).
tsan=build-tsan
cmake -S . -B "$tsan" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMEASCONV_SANITIZE_THREAD=ON -DMEASCONV_BUILD_BASELINE=OFF -DMEASCONV_BUILD_TESTS=ON >/dev/null
cmake --build "$tsan" -j "$jobs" --target measconv measconv_parallel_tests
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
TZ=UTC ctest --test-dir "$tsan" --output-on-failure -j "$jobs" -R '^(Parallel[A-Za-z]*|Shards|ShardMembers|ConflictGroups)\.' \
  --output-junit "$results/tsan.xml" || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "Sanitizer reports:" >&2
  cat "$reports"/* >&2
  echo "sanitize: the sanitizer reports (each with its first error and summary):"
  for report in "$reports"/*; do
    echo "  ${report##*/}: $(grep -m1 -E '^(==[0-9]+==)?(ERROR|WARNING): ' "$report" | sed 's/^==[0-9]*==//')"
    echo "      $(grep -m1 '^SUMMARY: ' "$report")"
  done
  status=1
fi
python3 scripts/ctest_failures.py sanitize "$results/asan.xml" "$results/tsan.xml" || status=1
if [ "$status" -eq 0 ]; then echo "sanitize: PASSED"; else echo "sanitize: FAILED"; fi
exit "$status"

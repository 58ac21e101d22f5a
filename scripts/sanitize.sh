#!/usr/bin/env bash
# Builds everything with clang, AddressSanitizer and UndefinedBehaviorSanitizer (the fuzz
# targets too) and runs the whole test suite on that build; then the parallel tests on a
# ThreadSanitizer build. A sanitizer report fails the run, also one written by a measconv
# process that a test started and whose exit code it ignores.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/ensure-tools.sh --full

jobs=$(nproc 2>/dev/null || echo 2)
build=build-sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMEASCONV_SANITIZE=ON -DMEASCONV_BUILD_FUZZERS=ON -DMEASCONV_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j "$jobs"

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
status=0
ASAN_OPTIONS="detect_leaks=1:log_path=$reports/asan" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
# The clients of the HDF5 file (label clients) read what the writer wrote; they run in the
# ordinary suite only.
TZ=UTC ctest --test-dir "$build" --output-on-failure -j "$jobs" -LE 'large|clients' || status=$?

# ThreadSanitizer on the parallel conversions: measconv and the parallel tests alone, in a
# build of their own (the whole suite would take too long there).
tsan=build-tsan
cmake -S . -B "$tsan" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMEASCONV_SANITIZE_THREAD=ON -DMEASCONV_BUILD_BASELINE=OFF -DMEASCONV_BUILD_TESTS=ON >/dev/null
cmake --build "$tsan" -j "$jobs" --target measconv measconv_parallel_tests
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
TZ=UTC ctest --test-dir "$tsan" --output-on-failure -j "$jobs" -R '^(Parallel[A-Za-z]*|Shards|ShardMembers|ConflictGroups)\.' \
  || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "Sanitizer reports:" >&2
  cat "$reports"/* >&2
  status=1
fi
exit "$status"
